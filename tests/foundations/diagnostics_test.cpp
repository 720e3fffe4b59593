#include "core/foundations/diagnostics.hpp"

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <string_view>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "support/child_process.hpp"
#include "support/temp_dir.hpp"

namespace qv {
namespace {

namespace fs = std::filesystem;
using test::read_file;
using test::TempDir;

std::uint64_t now_millis() {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count());
}

struct Record {
  std::uint64_t millis = 0;
  std::string pid;
  std::string context;
  std::string message;
};

// Splits a log into its records; fails the test at the first byte that does
// not belong to a whole "[UTC unix-ms={} pid={} {}]\n{}\n\n" record.
std::vector<Record> parse_log(const std::string& log) {
  std::vector<Record> records;
  std::string_view rest(log);
  const auto take_until = [&rest](std::string_view end, std::string& out) {
    const auto at = rest.find(end);
    if (at == std::string_view::npos) return false;
    out = std::string(rest.substr(0, at));
    rest.remove_prefix(at + end.size());
    return true;
  };
  const auto skip = [&rest](std::string_view prefix) {
    if (!rest.starts_with(prefix)) return false;
    rest.remove_prefix(prefix.size());
    return true;
  };
  const auto is_number = [](const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos && text[0] != '0';
  };
  while (!rest.empty()) {
    const auto offset = log.size() - rest.size();
    Record record;
    std::string millis;
    const bool whole = skip("[UTC unix-ms=") && take_until(" pid=", millis) &&
                       is_number(millis) && take_until(" ", record.pid) && is_number(record.pid) &&
                       take_until("]\n", record.context) && take_until("\n\n", record.message);
    if (!whole) {
      ADD_FAILURE() << "torn record at " << offset;
      return records;
    }
    record.millis = std::stoull(millis);
    records.push_back(std::move(record));
  }
  return records;
}

TEST(AppendErrorRecord, WritesFramedRecordsOneAfterAnother) {
  TempDir dir;
  const auto before = now_millis();
  ASSERT_TRUE(append_error_record(dir.path(), "apply", "disk full"));
  ASSERT_TRUE(append_error_record(dir.path(), "installed manifest; full scan required", "line one\nline two"));
  const auto after = now_millis();
  const std::string log = read_file(dir / ".launcher/state/errors.txt");

  EXPECT_TRUE(log.ends_with("line two\n\n"));
  const auto records = parse_log(log);
  ASSERT_EQ(records.size(), 2u);
  const std::pair<std::string, std::string> expected[] = {
      {"apply", "disk full"}, {"installed manifest; full scan required", "line one\nline two"}};
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(records[i].context, expected[i].first);
    EXPECT_EQ(records[i].message, expected[i].second);
    EXPECT_EQ(records[i].pid, std::to_string(::getpid()));
    EXPECT_GE(records[i].millis, before);
    EXPECT_LE(records[i].millis, after);
  }
}

TEST(RecordError, ReturnsTheMessageOrSaysWhyTheLogWasNotWritten) {
  TempDir dir;
  EXPECT_EQ(record_error(dir.path(), "prepare", "no network"), "no network");
  EXPECT_NE(read_file(dir / ".launcher/state/errors.txt").find("prepare]\nno network\n\n"), std::string::npos);

  TempDir blocked;
  fs::create_directories(blocked / ".launcher/state/errors.txt");
  EXPECT_EQ(record_error(blocked.path(), "apply", "boom"),
            "boom\nCannot write .launcher/state/errors.txt: Is a directory (os error 21)");

  TempDir outer;
  const auto protected_root = outer / "QVonline Pristine";
  fs::create_directories(protected_root);
  EXPECT_EQ(record_error(protected_root, "apply", "boom"),
            "boom\nCannot write .launcher/state/errors.txt: immutable original/comparison client cannot be a write "
            "target");
  EXPECT_FALSE(fs::exists(protected_root / ".launcher"));
}

QV_CHILD_MODE(append_one_record) { return append_error_record(args.at(0), "test", "message") ? 0 : 1; }

TEST(AppendErrorRecord, TheFileMadeByTheFirstRecordIsFlushedIntoItsFolder) {
  TempDir dir;
  const auto root = dir / "client";
  const auto state = root / ".launcher/state";
  fs::create_directories(state);
  // Every flush the append makes, each with the path of what it flushed.
  const auto folder_flushes = [&] {
    const auto trace = dir / "trace";
    const auto ended = test::Child::start_self_under({"strace", "-f", "-qq", "-y", "-e", "trace=fsync", "-o",
                                                      trace.string()},
                                                     "append_one_record", {root.string()})
                           .wait();
    EXPECT_EQ(ended.exit_code, 0);
    const std::string log = read_file(trace);
    EXPECT_NE(log.find(fmt::format("<{}>)", (state / "errors.txt").string())), std::string::npos) << log;
    return log.find(fmt::format("<{}>)", state.string())) != std::string::npos;
  };
  EXPECT_TRUE(folder_flushes());
  // Once the file exists, a record needs only its own flush.
  EXPECT_FALSE(folder_flushes());
  EXPECT_EQ(parse_log(read_file(state / "errors.txt")).size(), 2u);
}

constexpr int kThreads = 4;
constexpr int kRecordsPerThread = 50;

// A long message, so that unserialised writes would tear or interleave.
std::string message_for(const std::string& tag, int thread, int record) {
  const std::string head = fmt::format("{}-{}-{}", tag, thread, record);
  std::string message = head;
  while (message.size() < 6000) message += "|" + head;
  return message;
}

// args: root, tag. Appends from several threads at once.
QV_CHILD_MODE(append_records) {
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int r = 0; r < kRecordsPerThread; ++r) {
        if (!append_error_record(args.at(0), "download", message_for(args.at(1), t, r))) ++failures;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  return failures.load() == 0 ? 0 : 1;
}

TEST(AppendErrorRecord, ConcurrentProcessesAndThreadsNeverInterleave) {
  TempDir dir;
  auto first = test::Child::start_self("append_records", {dir.path().string(), "A"});
  auto second = test::Child::start_self("append_records", {dir.path().string(), "B"});
  EXPECT_EQ(first.wait().exit_code, 0);
  EXPECT_EQ(second.wait().exit_code, 0);

  std::set<std::string> expected;
  for (const std::string tag : {"A", "B"}) {
    for (int t = 0; t < kThreads; ++t) {
      for (int r = 0; r < kRecordsPerThread; ++r) expected.insert(message_for(tag, t, r));
    }
  }
  const std::string log = read_file(dir / ".launcher/state/errors.txt");
  std::set<std::string> seen;
  for (const auto& record : parse_log(log)) {
    EXPECT_EQ(record.context, "download");
    seen.insert(record.message);
  }
  EXPECT_EQ(seen, expected);
}

}  // namespace
}  // namespace qv
