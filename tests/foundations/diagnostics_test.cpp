#include "core/foundations/diagnostics.hpp"

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <regex>
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

TEST(AppendErrorRecord, WritesFramedRecordsOneAfterAnother) {
  TempDir dir;
  const auto before = now_millis();
  ASSERT_TRUE(append_error_record(dir.path(), "apply", "disk full"));
  ASSERT_TRUE(append_error_record(dir.path(), "installed manifest; full scan required", "line one\nline two"));
  const auto after = now_millis();
  const std::string log = read_file(dir / ".launcher/state/errors.txt");

  const std::regex framing(
      "\\[UTC unix-ms=([1-9][0-9]*) pid=([0-9]+) apply\\]\ndisk full\n\n"
      "\\[UTC unix-ms=([1-9][0-9]*) pid=([0-9]+) installed manifest; full scan required\\]\nline one\nline two\n\n");
  std::smatch match;
  ASSERT_TRUE(std::regex_match(log, match, framing)) << log;
  for (const int group : {1, 3}) {
    const auto millis = std::stoull(match[group].str());
    EXPECT_GE(millis, before);
    EXPECT_LE(millis, after);
  }
  EXPECT_EQ(match[2].str(), std::to_string(::getpid()));
  EXPECT_EQ(match[4].str(), std::to_string(::getpid()));
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
  // Every byte of the log must belong to one whole record.
  std::set<std::string> seen;
  std::string_view rest(log);
  const auto skip_digits = [&rest] {
    const auto end = rest.find_first_not_of("0123456789");
    const bool any = end != 0 && end != std::string_view::npos;
    rest.remove_prefix(any ? end : 0);
    return any;
  };
  const auto expect_text = [&rest](std::string_view text) {
    if (!rest.starts_with(text)) return false;
    rest.remove_prefix(text.size());
    return true;
  };
  while (!rest.empty()) {
    const auto offset = log.size() - rest.size();
    ASSERT_TRUE(expect_text("[UTC unix-ms=") && skip_digits() && expect_text(" pid=") && skip_digits() &&
                expect_text(" download]\n"))
        << "torn record at " << offset;
    const auto end = rest.find("\n\n");
    ASSERT_NE(end, std::string_view::npos) << "unterminated record at " << offset;
    seen.insert(std::string(rest.substr(0, end)));
    rest.remove_prefix(end + 2);
  }
  EXPECT_EQ(seen, expected);
}

}  // namespace
}  // namespace qv
