#include "desktop/error_report.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "support/child_process.hpp"
#include "support/temp_dir.hpp"

namespace qv {
namespace {

namespace fs = std::filesystem;
using test::TempDir;
using test::write_file;

std::string log_of(const fs::path& root) {
  const fs::path log = root / ".launcher/state/errors.txt";
  return fs::exists(log) ? test::read_file(log) : std::string();
}

// The log holds exactly one record, of `context` with `message`.
void expect_one_record(const fs::path& root, std::string_view context, std::string_view message) {
  const std::string log = log_of(root);
  EXPECT_TRUE(log.starts_with("[UTC unix-ms=")) << root << ": " << log;
  EXPECT_TRUE(log.ends_with(fmt::format(" {}]\n{}\n\n", context, message))) << root << ": " << log;
  EXPECT_EQ(log.find("[UTC", 1), std::string::npos) << log;
}

std::string valid_config(const fs::path& root) {
  std::string key = "[";
  for (int i = 0; i < 32; ++i) key += i ? ",7" : "7";
  key += "]";
  return fmt::format(R"({{"root":"{}","manifest_url":"https://a/m","object_base_url":"https://a/o/",)"
                     R"("public_key":{},"manifest_key":{}}})",
                     root.string(), key, key);
}

const Result<fs::path> kNoExecutable = fail(Error::os(2).context("cannot read /proc/self/exe"));

TEST(RecordUiError, FindsTheLogFromTheCommandLineOrTheExecutable) {
  TempDir dir;
  const fs::path client = dir / "client";
  fs::create_directories(client);
  write_file(dir / "good/launcher.json", valid_config(client));
  write_file(dir / "bad/launcher.json", "{ not json");
  fs::create_directories(dir / "missing");
  fs::create_directories(dir / "bin");

  struct Case {
    const char* name;
    std::vector<std::string> args;
    fs::path expected_root;
  };
  const Case cases[] = {
      {"loads", {"Launcher.exe", "--config", (dir / "good/launcher.json").string()}, client},
      {"invalid", {"Launcher.exe", "--config", (dir / "bad/launcher.json").string()}, dir / "bad"},
      {"missing", {"Launcher.exe", "--config", (dir / "missing/launcher.json").string()}, dir / "missing"},
      // Without --config: launcher.json beside the executable (none there).
      {"beside the executable", {"Launcher.exe"}, dir / "bin"},
      // An option in last place counts as absent.
      {"option last", {"Launcher.exe", "--config"}, dir / "bin"},
  };
  for (const auto& c : cases) {
    const std::string shown = record_ui_error_with(c.args, dir / "bin/Launcher.exe", std::nullopt, "launcher fatal",
                                                   fmt::format("boom {}", c.name));
    EXPECT_EQ(shown, fmt::format("boom {}", c.name));
    expect_one_record(c.expected_root, "launcher fatal", fmt::format("boom {}", c.name));
    fs::remove_all(c.expected_root / ".launcher");
  }
}

TEST(RecordUiError, AGivenRootIsUsedWithoutReadingTheConfiguration) {
  TempDir dir;
  const fs::path other = dir / "other";
  fs::create_directories(other);
  write_file(dir / "cfg/launcher.json", valid_config(other));
  const fs::path root = dir / "root";
  fs::create_directories(root);
  const std::vector<std::string> args = {"Launcher.exe", "--config", (dir / "cfg/launcher.json").string()};
  EXPECT_EQ(record_ui_error_with(args, kNoExecutable, root, "paint", "DIB allocation failed"), "DIB allocation failed");
  expect_one_record(root, "paint", "DIB allocation failed");
  EXPECT_EQ(log_of(other), "");
  EXPECT_EQ(log_of(dir / "cfg"), "");
}

TEST(RecordUiError, ReportsWhenTheLogCannotBeFoundOrWritten) {
  TempDir dir;
  const std::string lost = record_ui_error_with(std::vector<std::string>{"Launcher.exe"}, kNoExecutable, std::nullopt,
                                                "panic", "internal failure");
  EXPECT_EQ(lost, "internal failure\nCannot locate error log: cannot read /proc/self/exe: " + Error::os(2).to_string());

  // A file where the state folder belongs.
  const fs::path root = dir / "root";
  write_file(root / ".launcher", "not a folder");
  const std::string unwritten = record_ui_error_with({}, kNoExecutable, root, "open link", "Cannot open link: x");
  EXPECT_TRUE(unwritten.starts_with("Cannot open link: x\nCannot write .launcher/state/errors.txt: ")) << unwritten;
  EXPECT_GT(unwritten.size(), std::string_view("Cannot open link: x\nCannot write .launcher/state/errors.txt: ").size());
}

// Records through the process's own command line, from the folder named by
// the first argument.
QV_CHILD_MODE(record_from_folder) {
  fs::current_path(args.at(0));
  test::child_say(record_ui_error(std::nullopt, "launcher fatal", "bare config"));
  return 0;
}

TEST(RecordUiError, ABareConfigNameStandsForTheCurrentFolder) {
  TempDir dir;
  // "--config launcher.json" with no folder part, and no such file: the
  // record goes to the current folder rather than being lost.
  auto child = test::Child::start_self("record_from_folder", {dir.path().string(), "--config", "launcher.json"});
  EXPECT_EQ(child.read_line(), "bare config");
  EXPECT_EQ(child.wait().exit_code, 0);
  expect_one_record(dir.path(), "launcher fatal", "bare config");

  // The same with a file of that name that does not load.
  fs::remove_all(dir / ".launcher");
  write_file(dir / "launcher.json", "[]");
  auto again = test::Child::start_self("record_from_folder", {dir.path().string(), "--config", "launcher.json"});
  EXPECT_EQ(again.read_line(), "bare config");
  EXPECT_EQ(again.wait().exit_code, 0);
  expect_one_record(dir.path(), "launcher fatal", "bare config");
}

}  // namespace
}  // namespace qv
