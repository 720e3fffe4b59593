#include "core/install/plan.hpp"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "core/formats/cbor.hpp"
#include "core/formats/manifest_codec.hpp"
#include "core/foundations/json.hpp"
#include "core/foundations/unicode.hpp"
#include "core/install/installed_state.hpp"
#include "support/child_process.hpp"
#include "support/recording_sink.hpp"
#include "support/release_builder.hpp"
#include "support/temp_dir.hpp"

namespace qv {
namespace {

namespace fs = std::filesystem;

// The progress records among the lines a plan sent, in order.
std::vector<Progress> records(const test::RecordingSink& recorder) {
  std::vector<Progress> out;
  for (const auto& line : recorder.lines()) {
    auto record = parse_progress_line(line);
    EXPECT_TRUE(record) << "not a progress line: " << line;
    if (record) out.push_back(*record);
  }
  return out;
}

// The records a plan of `manifest` sends when its first `decided` entries
// were decided.
std::vector<Progress> check_records(const Manifest& manifest, std::size_t decided) {
  const std::uint64_t total = manifest.files.size();
  std::vector<Progress> out{{Stage::Check, 0, total, ProgressUnit::Files, ""}};
  for (std::size_t i = 0; i < decided; ++i) {
    out.push_back({Stage::Check, i + 1, total, ProgressUnit::Files, manifest.files[i].path});
  }
  return out;
}

std::size_t thread_count() {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& task : fs::directory_iterator("/proc/self/task")) ++n;
  return n;
}

// Everything a plan shows: its lines, then its result, then whether a
// hashing thread outlived it.
std::string plan_outcome(const fs::path& root, const Manifest& manifest, const std::optional<Manifest>& installed,
                         bool full_check, unsigned threads) {
  const std::size_t threads_before = thread_count();
  test::RecordingSink recorder;
  auto plan = build_plan(root, manifest, installed, full_check, recorder.sink(), PlanOptions{threads});
  std::string out;
  for (const auto& line : recorder.lines()) out += line + "\n";
  out += plan ? write_plan_json(*plan) : "error: " + plan.error().to_string();
  // A joined thread's task can stay listed for a moment after the join
  // returns, while the kernel finishes its exit; one that still runs stays.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (thread_count() != threads_before && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (thread_count() != threads_before) out += "\nthreads left running";
  return out;
}

// Plans the manifest stored at args[1] for the client at args[0] with each
// thread count that follows args[2], as an unprivileged user when args[2] is
// "unprivileged", and says each outcome as one JSON string.
QV_CHILD_MODE(plan_in_child) {
  const std::string bytes = test::read_file(args.at(1));
  CborReader reader(bytes);
  auto manifest = decode_manifest_cbor(reader);
  if (!manifest) return 3;
  if (args.at(2) == "unprivileged" && ::geteuid() == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) return 2;
  }
  // A sanitizer may start a helper thread of its own with the first thread
  // of the process; let that happen before threads are counted.
  std::thread([] {}).join();
  for (std::size_t i = 3; i < args.size(); ++i) {
    const auto threads = static_cast<unsigned>(std::stoul(args[i]));
    test::child_say(json::quoted(plan_outcome(args.at(0), *manifest, std::nullopt, true, threads)));
  }
  return 0;
}

class Planner : public ::testing::Test {
 protected:
  // A release file whose client copy holds `content`.
  const FileEntry& add(const std::string& path, const std::string& content,
                       HashAlgorithm algorithm = HashAlgorithm::Sha256) {
    test::ObjectOptions options;
    options.algorithm = algorithm;
    const FileEntry& entry = publish_.add_file(path, test::bytes_source(content), options);
    test::write_file(root_ / path, content);
    return entry;
  }
  Manifest& release() { return publish_.manifest(); }

  Result<Plan> plan(bool full_check, const std::optional<Manifest>& installed, unsigned threads = 1) {
    recorder_ = test::RecordingSink();
    return build_plan(root_, release(), installed, full_check, recorder_.sink(), PlanOptions{threads});
  }

  void write_release_cbor() {
    auto encoded = encode_manifest_cbor(release());
    ASSERT_TRUE(encoded);
    test::write_file(dir_ / "release.cbor", std::string(encoded->begin(), encoded->end()));
  }

  test::TempDir dir_;
  fs::path root_ = dir_ / "client";
  test::PublishFolder publish_{dir_ / "publish", test::ReleaseKeys::from_seed(3)};
  test::RecordingSink recorder_;
};

std::vector<std::uint32_t> indices(std::initializer_list<std::uint32_t> list) { return list; }

TEST_F(Planner, QuickTrustsOnlyAMatchingInstalledEntryAndFullHashesEveryFileOfTheRightSize) {
  fs::create_directories(root_);
  add("game.exe", "MZ game");
  // The installed state names it in other letter cases (beyond ASCII), and
  // the file on disk differs at the same size: only a hash could tell.
  add("data/ärger.pak", "original content");
  test::write_file(root_ / "data/ärger.pak", "tampered content");
  // The release changed the digest, not the size; the disk already holds
  // the new content, so a hash would keep it.
  add("data/new-digest.bin", "version two");
  add("data/not-installed.bin", "present but unknown");
  add("data/other-algorithm.bin", "same bytes", HashAlgorithm::Xxh3_128);
  add("data/other-size.bin", "released");
  test::write_file(root_ / "data/other-size.bin", "longer than released");
  add("data/missing.bin", "gone");
  fs::remove(root_ / "data/missing.bin");

  Manifest installed = release();
  installed.files[1].path = "DATA/ÄRGER.PAK";
  installed.files[2].digest = std::string(64, '0');
  installed.files.erase(installed.files.begin() + 3);
  installed.files[3].algorithm = HashAlgorithm::Xxh64;  // data/other-algorithm.bin, now at 3

  for (unsigned threads : {1u, 4u}) {
    SCOPED_TRACE(fmt::format("{} threads", threads));
    const auto quick = plan(false, installed, threads);
    ASSERT_TRUE(quick) << quick.error().to_string();
    EXPECT_EQ(quick->download, indices({2, 3, 4, 5, 6}));
    EXPECT_FALSE(quick->full_scan);
    EXPECT_EQ(records(recorder_), check_records(release(), 7));

    const auto full = plan(true, installed, threads);
    ASSERT_TRUE(full) << full.error().to_string();
    EXPECT_EQ(full->download, indices({1, 5, 6}));
    EXPECT_TRUE(full->full_scan);
    std::uint64_t bytes = 0;
    for (auto i : full->download) bytes += release().files[i].object_bytes;
    EXPECT_EQ(full->download_bytes, bytes);
    EXPECT_EQ(records(recorder_), check_records(release(), 7));
  }
}

TEST_F(Planner, WithoutAUsableInstalledStateEveryCheckIsAFullScanThatDeletesNothing) {
  add("game.exe", "MZ game");
  add("data/changed.bin", "released");
  test::write_file(root_ / "data/changed.bin", "modified");
  add("data/old.bin", "to be deleted");
  release().files.pop_back();
  release().delete_ = {"data/old.bin"};

  // An unusable installed state (here a truncated one) reaches the planner as
  // none at all, as does a missing one.
  test::Bytes envelope = test::manifest_envelope(publish_.keys(), release());
  envelope.resize(envelope.size() - 10);
  test::write_file(root_ / ".launcher/state/manifest.qvm", std::string(envelope.begin(), envelope.end()));
  ClientConfig config;
  config.root = root_;
  config.public_key = publish_.keys().public_key;
  config.manifest_key = publish_.keys().manifest_key;
  const std::optional<Manifest> unusable = load_installed_manifest(config);
  ASSERT_FALSE(unusable);
  for (bool full_check : {false, true}) {
    const auto plan_result = plan(full_check, unusable);
    ASSERT_TRUE(plan_result) << plan_result.error().to_string();
    EXPECT_EQ(plan_result->download, indices({1}));
    EXPECT_TRUE(plan_result->full_scan);
    EXPECT_TRUE(plan_result->delete_.empty());
  }

  // An installed state without files vouches for nothing and lists no path.
  Manifest empty_installed = test::test_manifest();
  const auto quick = plan(false, empty_installed);
  ASSERT_TRUE(quick) << quick.error().to_string();
  EXPECT_EQ(quick->download, indices({0, 1}));
  EXPECT_FALSE(quick->full_scan);
  EXPECT_TRUE(quick->delete_.empty());
}

TEST_F(Planner, DeletesOnlyInstalledFilesThatStillStandThere) {
  add("game.exe", "MZ game");
  for (const char* path : {"old/file.txt", "old/cased.txt", "old/folder", "old/absent.txt", "old/foreign.txt"}) {
    add(path, "old");
  }
  Manifest installed = release();
  installed.files[2].path = "OLD/CASED.TXT";
  installed.files.pop_back();  // old/foreign.txt was never installed
  release().files.resize(1);
  fs::remove(root_ / "old/folder");
  fs::create_directories(root_ / "old/folder");
  fs::remove(root_ / "old/absent.txt");
  release().delete_ = {"old/foreign.txt", "old/cased.txt", "old/folder", "old/absent.txt", "old/file.txt"};

  for (bool full_check : {false, true}) {
    const auto plan_result = plan(full_check, installed);
    ASSERT_TRUE(plan_result) << plan_result.error().to_string();
    // As written in the release, in its order; a folder is never deleted.
    EXPECT_EQ(plan_result->delete_, (std::vector<std::string>{"old/cased.txt", "old/file.txt"}));
    EXPECT_TRUE(plan_result->download.empty());
  }
  // Deletions send no progress.
  EXPECT_EQ(records(recorder_), check_records(release(), 1));
}

TEST_F(Planner, AnEmptyReleaseSendsOneRecordAndPlansNothing) {
  fs::create_directories(root_);
  for (const auto& installed : {std::optional<Manifest>(), std::optional<Manifest>(test::test_manifest())}) {
    const auto plan_result = plan(false, installed);
    ASSERT_TRUE(plan_result) << plan_result.error().to_string();
    EXPECT_TRUE(plan_result->nothing_to_do());
    EXPECT_EQ(plan_result->download_bytes, 0u);
    EXPECT_EQ(recorder_.lines(),
              std::vector<std::string>{R"(@QV_PROGRESS {"stage":"Check","completed":0,"total":0,"unit":"Files","detail":""})"});
  }
}

TEST_F(Planner, FailuresEndThePlanAfterTheRecordsOfTheEntriesBefore) {
  add("game.exe", "MZ game");
  add("linked/file.bin", "behind a link");
  fs::rename(root_ / "linked", dir_ / "elsewhere");
  fs::create_directory_symlink(dir_ / "elsewhere", root_ / "linked");
  const auto linked = plan(true, std::nullopt);
  ASSERT_FALSE(linked);
  EXPECT_EQ(linked.error().to_string(), "reparse point rejected: " + (root_ / "linked").string());
  EXPECT_EQ(records(recorder_), check_records(release(), 1));

  // Two missing files whose objects together pass the 64-bit range.
  release().files = {test::sample_entry("a.bin"), test::sample_entry("b.bin")};
  for (auto& entry : release().files) entry.object_bytes = std::uint64_t{1} << 63;
  const auto overflow = plan(false, std::nullopt);
  ASSERT_FALSE(overflow);
  EXPECT_EQ(overflow.error().to_string(), "size overflow");
  EXPECT_EQ(records(recorder_), check_records(release(), 1));
}

// What stands at a managed file's path and is no file is the player's: an
// install could not move it aside, so the plan refuses it before anything is
// downloaded, and never reads it (opening a pipe to hash it would wait for a
// writer for ever). The plan runs in a child, so that a hang shows.
TEST_F(Planner, AFolderAPipeOrADeviceAtAFilesPathIsRefusedWithoutReadingIt) {
  struct Case {
    const char* name;
    std::function<bool(const fs::path&)> make;  // false: this system does not allow it
  };
  const std::vector<Case> cases = {
      {"folder", [](const fs::path& p) { return fs::create_directories(p / "inside"); }},
      {"pipe", [](const fs::path& p) { return ::mkfifo(p.c_str(), 0644) == 0; }},
      {"device", [](const fs::path& p) { return ::mknod(p.c_str(), S_IFCHR | 0644, makedev(1, 3)) == 0; }},
  };
  fs::create_directories(root_);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string name = std::string("data/") + c.name;
    FileEntry entry = test::sample_entry(name);
    entry.bytes = 0;
    release().files = {entry};
    fs::create_directories(root_ / "data");
    if (!c.make(root_ / name)) {
      std::printf("skipped: a %s cannot be made here: %s\n", c.name, std::strerror(errno));
      continue;
    }
    write_release_cbor();
    auto child = test::Child::start_self("plan_in_child",
                                         {root_.string(), (dir_ / "release.cbor").string(), "same-user", "1"});
    const auto said = child.read_line(std::chrono::seconds(20));
    ASSERT_TRUE(said) << "the plan did not end";
    const std::string refused = "error: replacement target is not a file: " + (root_ / name).string();
    EXPECT_NE(said->find(json::quoted(refused).substr(1)), std::string::npos) << *said;
    EXPECT_TRUE(fs::exists(fs::symlink_status(root_ / name)));
  }
}

// A large release where some files match, some differ, some are missing, one
// cannot be read and one stands as a folder; the pool must reproduce the
// single thread's records and result exactly, error included.
TEST_F(Planner, HashingThreadsGiveTheSingleThreadsRecordsPlanAndError) {
  add("game.exe", "MZ game");
  for (int i = 1; i < 60; ++i) {
    const std::string path = fmt::format("data/{:02}/file-{:02}.bin", i % 7, i);
    const std::string content = test::noise_bytes(static_cast<std::size_t>(i) * 9973 + (i % 5 == 0 ? 3 << 20 : 0),
                                                  static_cast<std::uint64_t>(i));
    add(path, content, static_cast<HashAlgorithm>(i % 5));
    if (i % 4 == 0) test::write_file(root_ / path, test::noise_bytes(content.size(), 7));  // same size, changed
    if (i % 9 == 0) fs::remove(root_ / path);
  }
  // Reachable by the unprivileged planner, except the file made unreadable.
  for (const auto& item : fs::recursive_directory_iterator(root_)) {
    fs::permissions(item.path(), item.is_directory() ? fs::perms(0755) : fs::perms(0644));
  }
  fs::permissions(dir_.path() / "client", fs::perms(0755));
  const auto& files = release().files;
  auto unreadable = [&](std::size_t i) { fs::permissions(root_ / files[i].path, fs::perms::none); };
  auto link = [&](std::size_t i) {
    fs::remove_all(root_ / files[i].path);
    fs::create_symlink(root_ / files[0].path, root_ / files[i].path);
  };

  struct Case {
    const char* name;
    std::function<void()> setup;
    std::string error;  // empty: the plan succeeds
  };
  const std::vector<Case> cases = {
      {"every file readable", [] {}, ""},
      {"an unreadable file in the middle", [&] { unreadable(22); }, "Permission denied (os error 13)"},
      {"an unreadable file before a link", [&] { link(40); }, "Permission denied (os error 13)"},
      {"a link before an unreadable file",
       [&] {
         fs::permissions(root_ / files[22].path, fs::perms(0644));
         unreadable(46);
         link(10);
       },
       "reparse point rejected: " + (root_ / files[10].path).string()},
      {"a folder before an unreadable file",
       [&] {
         fs::remove(root_ / files[10].path);
         test::write_file(root_ / files[10].path, "changed");
         fs::permissions(root_ / files[10].path, fs::perms(0644));
         fs::remove(root_ / files[26].path);
         fs::create_directories(root_ / files[26].path);
       },
       "replacement target is not a file: " + (root_ / files[26].path).string()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.setup();
    write_release_cbor();
    const auto result = test::run_self(
        "plan_in_child", {root_.string(), (dir_ / "release.cbor").string(), "unprivileged", "1", "2", "4", "16"});
    ASSERT_EQ(result.exit_code, 0) << result.output;
    std::vector<std::string> outcomes;
    for (std::size_t start = 0, end; (end = result.output.find('\n', start)) != std::string::npos; start = end + 1) {
      outcomes.push_back(result.output.substr(start, end - start));
    }
    ASSERT_EQ(outcomes.size(), 4u) << result.output;
    for (std::size_t i = 1; i < outcomes.size(); ++i) EXPECT_EQ(outcomes[i], outcomes[0]) << "thread count #" << i;
    if (c.error.empty()) {
      EXPECT_NE(outcomes[0].find(R"(\"download_bytes\")"), std::string::npos) << outcomes[0];
    } else {
      EXPECT_NE(outcomes[0].find(json::quoted("error: " + c.error).substr(1)), std::string::npos) << outcomes[0];
    }
    EXPECT_EQ(outcomes[0].find("threads left running"), std::string::npos);
  }
}

// Enough files that every thread works through runs of many entries, with
// the owner answering some itself: the plan and the records are those of one
// thread, in a quick check and in a full one.
TEST_F(Planner, ManyFilesGiveTheSingleThreadsPlanAndRecordsInEitherMode) {
  auto digest = [](const std::string& content) {
    ContentHasher hasher = content_hasher_new(HashAlgorithm::Xxh3_64);
    content_hasher_update(hasher, content);
    return content_hasher_finish(std::move(hasher));
  };
  for (std::uint32_t i = 0; i < 3000; ++i) {
    FileEntry entry;
    entry.path = fmt::format("d{:02}/f{:04}.bin", i % 37, i);
    const std::string content = fmt::format("content of {:04}", i);
    entry.bytes = content.size();
    entry.algorithm = HashAlgorithm::Xxh3_64;
    entry.digest = digest(content);
    entry.object_bytes = i + 1;
    if (i % 7 != 3) test::write_file(root_ / entry.path, i % 11 == 5 ? fmt::format("changed to {:04}", i) : content);
    release().files.push_back(std::move(entry));
  }
  Manifest installed = release();
  for (std::uint32_t i = 0; i < 3000; i += 13) installed.files[i].digest = std::string(16, '0');
  for (std::uint32_t i = 1; i < 3000; i += 17) installed.files[i].path = to_upper_ascii(installed.files[i].path);
  for (const bool full : {false, true}) {
    SCOPED_TRACE(full ? "full" : "quick");
    const auto alone = plan(full, installed, 1);
    ASSERT_TRUE(alone) << alone.error().to_string();
    const auto alone_records = records(recorder_);
    EXPECT_GT(alone->download.size(), 400u);
    EXPECT_LT(alone->download.size(), 1000u);
    for (const unsigned threads : {3u, 16u}) {
      SCOPED_TRACE(fmt::format("{} threads", threads));
      const auto together = plan(full, installed, threads);
      ASSERT_TRUE(together) << together.error().to_string();
      EXPECT_EQ(*together, *alone);
      EXPECT_EQ(records(recorder_), alone_records);
    }
  }
}

TEST(PlanJson, WritesTheFourFieldsInTheirLayout) {
  Plan example;
  example.download = {0, 5};
  example.download_bytes = 1048576;
  EXPECT_EQ(write_plan_json(example),
            "{\n"
            "  \"download\": [\n"
            "    0,\n"
            "    5\n"
            "  ],\n"
            "  \"delete\": [],\n"
            "  \"download_bytes\": 1048576,\n"
            "  \"full_scan\": false\n"
            "}");

  EXPECT_EQ(write_plan_json(Plan{}),
            "{\n  \"download\": [],\n  \"delete\": [],\n  \"download_bytes\": 0,\n  \"full_scan\": false\n}");

  Plan deletions;
  deletions.delete_ = {"a \"b\"\\c/ไฟล์.txt", std::string("ctl\x01\t\x7f", 6)};
  deletions.download_bytes = 18446744073709551615ull;
  deletions.full_scan = true;
  EXPECT_EQ(write_plan_json(deletions),
            "{\n"
            "  \"download\": [],\n"
            "  \"delete\": [\n"
            "    \"a \\\"b\\\"\\\\c/ไฟล์.txt\",\n"
            "    \"ctl\\u0001\\t\x7f\"\n"
            "  ],\n"
            "  \"download_bytes\": 18446744073709551615,\n"
            "  \"full_scan\": true\n"
            "}");
}

TEST(SumFileBytes, AddsInstalledSizesAndSaturates) {
  std::vector<FileEntry> files(3);
  files[0].bytes = 10;
  files[1].bytes = 32;
  files[2].bytes = UINT64_MAX - 20;
  files[2].object_bytes = 1;
  EXPECT_EQ(sum_file_bytes(indices({0, 1}), files), 42u);
  EXPECT_EQ(sum_file_bytes(indices({}), files), 0u);
  EXPECT_EQ(sum_file_bytes(indices({0, 2}), files), UINT64_MAX - 10);
  EXPECT_EQ(sum_file_bytes(indices({0, 1, 2}), files), UINT64_MAX);
}

}  // namespace
}  // namespace qv
