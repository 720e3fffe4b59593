#include "core/install/executor.hpp"

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/foundations/failpoint.hpp"
#include "core/install/installed_state.hpp"
#include "support/install_fixture.hpp"
#include "support/recording_sink.hpp"
#include "support/temp_dir.hpp"

namespace qv {
namespace {

namespace fs = std::filesystem;

std::string text_of(const Status& status) { return status ? "ok" : status.error().to_string(); }

class Executor : public ::testing::Test {
 protected:
  Executor() : change_(dir_.path()) {}
  ~Executor() override { ::unsetenv(std::string(kFailPointVariable).c_str()); }

  const test::ClientFixture& client() const { return change_.client; }
  const fs::path& folder() const { return change_.check.transaction_dir; }
  std::string state() const { return test::read_file(client().root() / kInstalledStateRelative); }
  std::string envelope(const test::PublishedRelease* release) const {
    return {release->envelope.begin(), release->envelope.end()};
  }

  test::TempDir dir_;
  test::ReleaseChange change_;
};

TEST_F(Executor, InstallsVerifiesCommitsAndReportsEachStep) {
  test::RecordingSink lines;
  Journal journal;
  ASSERT_EQ(
      text_of(test::run_install(client().config(/*retain=*/true), change_.check, CancelFlag(), lines.sink(), &journal)),
      "ok");
  EXPECT_EQ(lines.progress(), (std::vector<std::string>{
                                  "Apply 0/8 bin/game.exe",
                                  "Apply 1/8 bin/game.exe",
                                  "Apply 1/8 new/dir/file.txt",
                                  "Apply 2/8 new/dir/file.txt",
                                  "Apply 2/8 empty.txt",
                                  "Apply 3/8 empty.txt",
                                  "Apply 3/8 old.txt",
                                  "Apply 4/8 old.txt",
                                  "Apply 5/8 ตรวจหลังติดตั้ง bin/game.exe",
                                  "Apply 6/8 ตรวจหลังติดตั้ง new/dir/file.txt",
                                  "Apply 7/8 ตรวจหลังติดตั้ง empty.txt",
                              }));
  EXPECT_EQ(lines.status_lines(), std::vector<std::string>{});
  // The game executable is installed as a program; everything else as data.
  EXPECT_EQ(client().client_tree(), change_.new_tree);
  EXPECT_EQ(state(), envelope(change_.new_release));
  // The old files wait in the backup of the retained transaction.
  EXPECT_EQ(test::read_file(folder() / "backup/old.txt"), "removed by release 2\n");
  EXPECT_EQ(test::read_file(folder() / "backup/bin/game.exe"), test::noise_bytes(1'572'864, 11));
  EXPECT_EQ(test::logged_phases(folder()),
            (std::vector<std::string>{"prepared", "installing", "committed", "complete"}));
  EXPECT_EQ(test::journal_of(folder()), journal);
  EXPECT_EQ(journal.operations, (std::vector<Operation>{{"bin/game.exe", true, false},
                                                        {"new/dir/file.txt", false, false},
                                                        {"empty.txt", false, false},
                                                        {"old.txt", true, true}}));
}

TEST_F(Executor, InjectedWriteFailureFailsOnlyItsArmedOperation) {
  struct Case {
    const char* value;
    bool armed;
    const char* error;
  };
  const Case cases[] = {
      {"error-during-install-1", true, "install new/dir/file.txt: injected write failure during new/dir/file.txt"},
      {"error-during-install-0", true, "install bin/game.exe: injected write failure during bin/game.exe"},
      {"error-during-install-1", false, "ok"},
      // An empty file writes no chunk, so its hook never runs.
      {"error-during-install-2", true, "ok"},
      {"error-during-install-3", true, "ok"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    test::TempDir dir;
    test::ReleaseChange change(dir.path());
    ::setenv(std::string(kFailPointVariable).c_str(), c.value, 1);
    test::RecordingSink lines;
    EXPECT_EQ(
        text_of(test::run_install(change.client.config(false, c.armed), change.check, CancelFlag(), lines.sink())),
        c.error);
    const bool failed = std::string(c.error) != "ok";
    EXPECT_EQ(change.client.client_tree(), failed ? change.old_tree : change.new_tree);
    if (failed) {
      EXPECT_EQ(lines.status_lines(), std::vector<std::string>{c.error});
    }
  }
}

// Operations run at once, yet what a caller sees is what one thread in
// journal order produces: every line, the first error and the client left.
TEST_F(Executor, OperationsAtOnceReportExactlyWhatOneThreadReports) {
  for (const char* value : {"", "error-during-install-0", "error-during-install-1"}) {
    SCOPED_TRACE(value);
    std::vector<std::string> seen[2];
    std::string errors[2];
    test::TreeSnapshot trees[2];
    for (const unsigned threads : {1u, 8u}) {
      const int turn = threads == 1 ? 0 : 1;
      test::TempDir dir;
      test::ReleaseChange change(dir.path());
      ::setenv(std::string(kFailPointVariable).c_str(), value, 1);
      test::RecordingSink lines;
      errors[turn] = text_of(test::run_install(change.client.config(false, /*armed=*/true), change.check, CancelFlag(),
                                               lines.sink(), nullptr, ExecutorOptions{threads}));
      seen[turn] = lines.lines();
      trees[turn] = change.client.client_tree();
    }
    EXPECT_EQ(errors[1], errors[0]);
    EXPECT_EQ(seen[1], seen[0]);
    EXPECT_EQ(trees[1], trees[0]);
  }
}

// One thread, whose order of work the progress lines follow, so that a
// cancel set at a line meets a known point of the work.
TEST_F(Executor, CancelIsSeenAtEachOperationInsideAWriteAndBeforeTheCommit) {
  struct Case {
    const char* when;  // the progress line after which the flag is set; empty: before the start
    const char* error;
  };
  const Case cases[] = {
      {"", "cancelled during installation"},
      // Set while the 1.5 MiB file is written: seen after its first chunk.
      {"Apply 0/8 bin/game.exe", "install bin/game.exe: cancelled during installation"},
      {"Apply 2/8 new/dir/file.txt", "cancelled during installation"},
      {"Apply 7/8 ตรวจหลังติดตั้ง empty.txt", "cancelled before commit"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.when);
    test::TempDir dir;
    test::ReleaseChange change(dir.path());
    CancelFlag cancel;
    if (std::string(c.when).empty()) cancel.cancel();
    test::RecordingSink lines([&](const std::string& line) {
      if (test::RecordingSink::progress_text(line) == c.when) cancel.cancel();
    });
    Journal journal;
    EXPECT_EQ(text_of(test::run_install(change.client.config(), change.check, cancel, lines.sink(), &journal,
                                        ExecutorOptions{1})),
              c.error);
    EXPECT_EQ(test::logged_phases(change.check.transaction_dir),
              (std::vector<std::string>{"prepared", "installing", "rolled-back"}));
    EXPECT_EQ(change.client.client_tree(), change.old_tree);
  }
}

TEST_F(Executor, AFileChangedAfterItsInstallFailsVerificationAndCommitsNothing) {
  test::RecordingSink lines([&](const std::string& line) {
    // The last operation is done: spoil a file already installed, keeping its size.
    if (parse_progress_line(line) == Progress{Stage::Apply, 4, 8, ProgressUnit::Steps, "old.txt"}) {
      test::write_file(client().root() / "new/dir/file.txt", "made by release 3\n");
    }
  });
  Journal journal;
  EXPECT_EQ(text_of(test::run_install(client().config(), change_.check, CancelFlag(), lines.sink(), &journal)),
            "installed file failed verification");
  EXPECT_EQ(lines.progress().back(), "Apply 5/8 ตรวจหลังติดตั้ง bin/game.exe");
  EXPECT_EQ(test::logged_phases(folder()), (std::vector<std::string>{"prepared", "installing", "rolled-back"}));
  EXPECT_EQ(state(), envelope(change_.old_release));
}

TEST_F(Executor, ADeleteWhoseTargetVanishedFailsAtItsBackupMove) {
  fs::remove(client().root() / "old.txt");
  const auto status = test::run_install(client().config(), change_.check, CancelFlag(), LineSink::discard());
  EXPECT_EQ(text_of(status),
            "replace " + (folder() / "backup/old.txt").string() + ": No such file or directory (os error 2)");
  auto expected = change_.old_tree;
  expected.erase("old.txt");
  EXPECT_EQ(client().client_tree(), expected);
}

TEST_F(Executor, AJournalThatDoesNotMatchItsDownloadsTouchesNothing) {
  Journal journal{1, "installing", true, {{"keep.txt", true, false}}, false};
  const std::vector<std::uint32_t> download{0};
  const auto state_path = installed_state_path(client().root()).value();
  auto status = apply_operations(journal, CancelFlag(), LineSink::discard(), 3, client().root(), change_.check,
                                 client().config(), change_.new_release->manifest, download, state_path, "new");
  EXPECT_EQ(text_of(status), "install operation 0 has no manifest entry");
  EXPECT_EQ(client().client_tree(), change_.old_tree);
  EXPECT_EQ(state(), envelope(change_.old_release));
  EXPECT_EQ(journal.phase, "installing");
}

TEST_F(Executor, WriteCallbackChecksCancelThenTheInjection) {
  const ClientConfig armed = client().config();
  const FileEntry& entry = change_.new_release->manifest.files.at(2);
  CancelFlag cancel;
  ::setenv(std::string(kFailPointVariable).c_str(), "error-during-install-5", 1);
  EXPECT_EQ(text_of(check_install_failpoint({cancel, armed, 4, entry}, 100)), "ok");
  EXPECT_EQ(text_of(check_install_failpoint({cancel, armed, 5, entry}, 100)),
            "injected write failure during new/dir/file.txt");
  cancel.cancel();
  EXPECT_EQ(text_of(check_install_failpoint({cancel, armed, 5, entry}, 100)), "cancelled during installation");
}

}  // namespace
}  // namespace qv
