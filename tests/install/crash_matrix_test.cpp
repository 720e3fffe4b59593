// The crash matrix: the engine driver checks and applies a release in a real
// child process that a fail point ends, or that is killed at a random moment
// of a larger apply; the next launcher must find the client on the release
// the journal names, recover it once and for all, and finish the patch
// without fetching an object byte again that is already on disk.
#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "core/foundations/progress.hpp"
#include "core/install/check.hpp"
#include "crash_matrix_test_client.hpp"
#include "support/install_fixture.hpp"
#include "support/temp_dir.hpp"

namespace qv {
namespace {

namespace fs = std::filesystem;

struct MatrixRow {
  std::string point;
  bool with_state = false;
  int exit_code = 0;
  test::CrashOutcome outcome;
};

void print_matrix(const std::vector<MatrixRow>& rows) {
  std::printf("\n| fail point | installed state | exit | journal after the crash | recovered to | object bytes held | fetched after |\n");
  std::printf("|---|---|---|---|---|---|---|\n");
  for (const auto& row : rows) {
    std::printf("| %s | %s | %d | %s | %s | %llu | %llu |\n", row.point.c_str(), row.with_state ? "yes" : "no",
                row.exit_code, row.outcome.phase.c_str(), test::side_name(row.outcome.side),
                static_cast<unsigned long long>(row.outcome.held),
                static_cast<unsigned long long>(row.outcome.fetched));
  }
  std::fflush(stdout);
}

// What a fail point must do to the change of the four-operation fixture:
// how the child ends, what its journal then reads and which release the
// client must be recovered to.
struct Expected {
  std::string point;
  int exit_code;
  std::string phase;
  test::Side side;
};

std::vector<Expected> expected_rows(bool with_state) {
  // Operations in journal order; only a file with content is written in
  // chunks, so only its write hooks can fire. Without an installed state the
  // client's old file is not known to be managed, so nothing is deleted.
  struct Operation {
    bool writes_chunks;
  };
  std::vector<Operation> operations = {{true}, {true}, {false}};  // bin/game.exe, new/dir/file.txt, empty.txt
  if (with_state) operations.push_back({false});                  // old.txt deleted
  const auto old_side = test::Side::Old;
  const auto new_side = test::Side::New;
  std::vector<Expected> rows = {{"after-downloads", 77, "none", old_side}, {"after-staging", 77, "none", old_side}};
  for (std::size_t i = 0; i < operations.size(); ++i) {
    const bool writes = operations[i].writes_chunks;
    rows.push_back({fmt::format("after-backup-{}", i), 77, "installing", old_side});
    rows.push_back(writes ? Expected{fmt::format("during-install-{}", i), 77, "installing", old_side}
                          : Expected{fmt::format("during-install-{}", i), 0, "none", new_side});
    rows.push_back({fmt::format("after-install-{}", i), 77, "installing", old_side});
    // The injected write failure is no crash: apply rolls back itself.
    rows.push_back(writes ? Expected{fmt::format("error-during-install-{}", i), 1, "rolled-back", old_side}
                          : Expected{fmt::format("error-during-install-{}", i), 0, "none", new_side});
  }
  rows.push_back({"after-state", 77, "installing", old_side});
  rows.push_back({"after-committed", 77, "committed", new_side});
  return rows;
}

// A build whose check and apply are still the refusing stand-ins has no
// engine to crash. A retained check is discarded by doing nothing, which the
// engine answers with success and a stand-in with its refusal.
TEST(CrashMatrix, EveryFailPointOfApplyAndTheExecutorRecoversToTheReleaseItsJournalNames) {
  std::vector<MatrixRow> matrix;
  for (const bool with_state : {true, false}) {
    for (const auto& row : expected_rows(with_state)) {
      SCOPED_TRACE(fmt::format("{}, {} installed state", row.point, with_state ? "with" : "without"));
      test::TempDir dir;
      test::ReleaseChange change(dir.path());
      test::ServedChange served(change.client, *change.old_release, *change.new_release, with_state);
      const auto ended = served.start_driver({"check-and-apply"}, row.point).wait();
      EXPECT_EQ(ended.signal, 0);
      EXPECT_EQ(ended.exit_code, row.exit_code) << ended.output;
      const auto outcome = test::recover_and_finish(served);
      EXPECT_EQ(outcome.phase, row.phase);
      EXPECT_EQ(outcome.side, row.side);
      matrix.push_back({row.point, with_state, ended.exit_code, outcome});
    }
  }
  print_matrix(matrix);
}

// A release change of 80 files: large and small files replaced, kept and
// deleted, files created in new folders, empty files.
struct LargerChange {
  explicit LargerChange(const fs::path& base) : client(base) {
    std::vector<test::ClientFile> old_files = {{"bin/game.exe", test::noise_bytes(2 << 20, 1)}};
    std::vector<test::ClientFile> new_files = {{"bin/game.exe", test::noise_bytes(2 << 20, 2)}};
    std::vector<std::string> deletes;
    for (int i = 0; i < 6; ++i) {
      const std::string path = fmt::format("data/pack{}.dat", i);
      old_files.push_back({path, test::noise_bytes(1 << 20, 10 + i)});
      new_files.push_back({path, test::noise_bytes(1 << 20, 10 + i + (i % 2 == 0 ? 100 : 0))});
    }
    for (int i = 0; i < 40; ++i) {
      const std::string path = fmt::format("data/tex/{:02}.bin", i);
      const std::size_t size = 8'192 + static_cast<std::size_t>(i) * 3'000;
      old_files.push_back({path, test::noise_bytes(size, 200 + i)});
      if (i % 7 == 6) {
        deletes.push_back(path);
      } else {
        new_files.push_back({path, test::noise_bytes(size, 200 + i + (i % 3 == 0 ? 100 : 0))});
      }
    }
    for (int i = 0; i < 20; ++i) {
      const std::string path = fmt::format("cfg/{}.ini", i);
      old_files.push_back({path, fmt::format("[setting]\nvalue = {}\n", i)});
      if (i == 19) {
        deletes.push_back(path);
      } else {
        new_files.push_back({path, fmt::format("[setting]\nvalue = {}\n", i % 4 == 0 ? i + 1000 : i)});
      }
    }
    for (int i = 0; i < 3; ++i) {
      old_files.push_back({fmt::format("empty/{}.txt", i), ""});
      new_files.push_back({fmt::format("empty/{}.txt", i), ""});
    }
    for (int i = 0; i < 10; ++i) {
      new_files.push_back({fmt::format("new/a/b{}/{}.bin", i % 3, i), test::noise_bytes((i + 1) * 32'768, 400 + i)});
    }
    new_files.push_back({"new/empty.txt", ""});
    old_release = &client.publish(1, old_files);
    new_release = &client.publish(2, new_files, deletes);
  }
  test::ClientFixture client;
  const test::PublishedRelease* old_release = nullptr;
  const test::PublishedRelease* new_release = nullptr;
};

// The transaction folder a driver check prepared, from its output.
std::optional<fs::path> prepared_folder(const std::string& output) {
  const std::string tag = "prepared ";
  const auto at = output.find(tag);
  if (at == std::string::npos) return std::nullopt;
  const auto end = output.find('\n', at);
  return fs::path(output.substr(at + tag.size(), end - at - tag.size()));
}

std::optional<fs::path> driver_check(const test::ServedChange& served) {
  const auto checked = served.start_driver({"check"}).wait();
  EXPECT_EQ(checked.exit_code, 0) << checked.output;
  auto folder = prepared_folder(checked.output);
  EXPECT_TRUE(folder) << checked.output;
  return folder;
}

// Where the apply's lines turn from one part of the work to the next: the
// first line of the downloads, of the verification and of the install.
std::vector<std::size_t> part_starts(const std::vector<std::string>& lines) {
  std::vector<std::size_t> starts = {0};
  for (const Stage stage : {Stage::Download, Stage::Validate, Stage::Apply}) {
    std::size_t at = starts.back();
    while (at < lines.size() && (!parse_progress_line(lines[at]) || parse_progress_line(lines[at])->stage != stage))
      ++at;
    starts.push_back(at);
  }
  starts.push_back(lines.size());
  return starts;
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back(text.substr(start, end - start));
  return lines;
}

std::uint64_t crash_seed() {
  if (const char* given = ::getenv("QV_CRASH_SEED")) return std::stoull(given);
  return std::random_device{}();
}

TEST(CrashMatrix, KilledAtFiftyRandomMomentsOfALargerApplyRecoversAndFinishes) {
  const std::uint64_t seed = crash_seed();
  std::printf("crash seed %llu (rerun with QV_CRASH_SEED=%llu)\n", static_cast<unsigned long long>(seed),
              static_cast<unsigned long long>(seed));
  SCOPED_TRACE(fmt::format("QV_CRASH_SEED={}", seed));
  std::mt19937_64 random(seed);

  test::TempDir dir;
  LargerChange change(dir.path());
  test::ServedChange served(change.client, *change.old_release, *change.new_release, /*with_state=*/true);

  // An apply that runs to its end shows where each part of the work begins.
  const auto calibration_folder = driver_check(served);
  ASSERT_TRUE(calibration_folder);
  const auto calibration_start = std::chrono::steady_clock::now();
  const auto whole = served.start_driver({"apply", "--transaction", calibration_folder->string()}).wait();
  const double whole_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - calibration_start).count();
  ASSERT_EQ(whole.exit_code, 0) << whole.output;
  ASSERT_EQ(test::snapshot_tree(served.root(), {.skip = {".launcher"}}), served.tree(test::Side::New));
  const auto starts = part_starts(split_lines(whole.output));
  std::printf("an uninterrupted apply: %.2f s, lines %zu (downloads from %zu, verification from %zu, install from %zu)\n",
              whole_seconds, starts[4], starts[1], starts[2], starts[3]);

  constexpr int kKills = 50;
  std::map<std::string, int> by_phase;
  for (int kill = 0; kill < kKills; ++kill) {
    // A part of the work, then a line within it and a moment after that line.
    const std::size_t part = random() % 4;
    const std::size_t first = starts[part];
    const std::size_t count = std::max<std::size_t>(1, starts[part + 1] - first);
    const std::size_t line = first + random() % count;
    const auto delay = std::chrono::microseconds(random() % 3000);
    SCOPED_TRACE(fmt::format("kill {}: after line {} and {} us", kill, line, delay.count()));

    served.reset();
    const auto folder = driver_check(served);
    ASSERT_TRUE(folder);
    auto child = served.start_driver({"apply", "--transaction", folder->string()});
    for (std::size_t seen = 0; seen < line && child.read_line(); ++seen) {
    }
    std::this_thread::sleep_for(delay);
    child.kill(SIGKILL);
    const auto ended = child.wait();
    // A moment after its last line may find the apply finished.
    EXPECT_TRUE(ended.signal == SIGKILL || ended.exit_code == 0) << ended.exit_code;

    const auto outcome = test::recover_and_finish(served);
    ++by_phase[outcome.phase];
    std::printf("kill %2d: line %4zu + %4lld us: journal %-11s -> %s release; object bytes held %llu, fetched after %llu\n",
                kill, line, static_cast<long long>(delay.count()), outcome.phase.c_str(), test::side_name(outcome.side),
                static_cast<unsigned long long>(outcome.held), static_cast<unsigned long long>(outcome.fetched));
    if (::testing::Test::HasFailure()) break;
  }
  std::printf("\n| journal after the kill | kills |\n|---|---|\n");
  for (const auto& [phase, kills] : by_phase) std::printf("| %s | %d |\n", phase.c_str(), kills);
  std::fflush(stdout);
}

}  // namespace
}  // namespace qv
