// The file operations inside a sandbox that refuses openat2, as seccomp
// policies do (with ENOSYS, or with EPERM), and at paths longer than the
// system can name. Each case runs in a child process, since a filter cannot
// be taken back.
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <filesystem>
#include <sstream>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "core/foundations/fileops.hpp"
#include "core/foundations/network.hpp"
#include "core/foundations/paths.hpp"
#include "support/child_process.hpp"
#include "support/loopback_server.hpp"
#include "support/seccomp_filter.hpp"
#include "support/temp_dir.hpp"

namespace qv {
namespace {

namespace fs = std::filesystem;
using test::read_file;
using test::TempDir;

std::string outcome(const Status& s) { return s ? "ok" : s.error().to_string(); }

// Folders that do not exist yet, deeper together than any path can be.
fs::path beyond_path_max(const fs::path& root) {
  fs::path deep = root / "deep";
  while (deep.native().size() < PATH_MAX + 200) deep /= std::string(250, 'd');
  return deep / "record.json";
}

// A folder whose path fits with 100 bytes to spare, and a name in it that
// takes the path past the limit.
fs::path long_name_in(const fs::path& root) {
  constexpr std::size_t kFolderLength = PATH_MAX - 100;
  fs::path folder = root / "long";
  while (folder.native().size() + 251 < kFolderLength) folder /= std::string(250, 'f');
  folder /= std::string(kFolderLength - folder.native().size() - 1, 'f');
  return folder / std::string(200, 'n');
}

QV_CHILD_MODE(fileops_in_sandbox) {
  const std::string& refusal = args.at(0);
  const fs::path root = args.at(1);
  const std::string& url = args.at(2);
  if (refusal != "none") {
    if (auto refused = test::refuse_system_call(SYS_openat2, refusal == "EPERM" ? EPERM : ENOSYS)) {
      test::child_say("skip: " + *refused);
      return 0;
    }
  }
  open_how how{};
  how.flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
  const long fd = ::syscall(SYS_openat2, AT_FDCWD, "/", &how, sizeof how);
  test::child_say(fd >= 0 ? "openat2: ok" : fmt::format("openat2: error {}", errno));
  if (fd >= 0) ::close(static_cast<int>(fd));

  const fs::path folder = root / ".launcher/transactions" / random_hex_id();
  CancelFlag cancel;
  test::child_say("record: " + outcome(write_file_atomic(folder / "plan.json", "{}")));
  const fs::path object = folder / "downloads/objects/a.qvp";
  const Status fetched = download_file(url, object, 5, 5, true, cancel, {});
  test::child_say("download: " + outcome(fetched) + (fetched ? " " + read_file(object) : ""));
  test::child_say("copy: " + outcome(copy_durable(folder / "plan.json", folder / "backup/plan.json")));
  test::child_say("cleanup: " + outcome(cleanup_transaction(root, folder)));
  test::child_say("folder left: " + std::string(fs::exists(folder) ? "yes" : "no"));

  const fs::path deep = beyond_path_max(root);
  test::child_say("deep record: " + outcome(write_file_atomic(deep, "{}")));
  test::child_say("deep copy: " + outcome(copy_durable(root / "source", deep)));
  test::child_say("deep download: " + outcome(download_file(url, deep, 5, 5, true, cancel, {})));
  test::child_say("long name: " + outcome(write_file_atomic(long_name_in(root), "{}")));
  return 0;
}

TEST(Sandbox, EveryFileOperationWorksWhereOpenat2IsRefused) {
  test::LoopbackServer server;
  server.put("/a.qvp", "hello");
  const std::string too_long = "File name too long (os error 36)";
  const std::vector<std::string> common = {
      "record: ok",
      "download: ok hello",
      "copy: ok",
      "cleanup: ok",
      "folder left: no",
      "deep record: " + too_long,
      "deep copy: " + too_long,
      "deep download: " + too_long,
      "long name: " + too_long,
  };
  const std::pair<const char*, const char*> modes[] = {
      {"none", "openat2: ok"},
      {"ENOSYS", "openat2: error 38"},
      {"EPERM", "openat2: error 1"},
  };
  for (const auto& [refusal, answer] : modes) {
    SCOPED_TRACE(refusal);
    TempDir client;
    test::write_file(client / "source", "{}");
    fs::create_directories(long_name_in(client.path()).parent_path());
    const auto ended = test::run_self("fileops_in_sandbox", {refusal, client.path().string(), server.url("/a.qvp")});
    ASSERT_EQ(ended.exit_code, 0) << ended.output;
    if (ended.output.starts_with("skip: ")) GTEST_SKIP() << ended.output;
    std::vector<std::string> said;
    std::istringstream lines(ended.output);
    for (std::string line; std::getline(lines, line);) said.push_back(line);
    std::vector<std::string> expected = {answer};
    expected.insert(expected.end(), common.begin(), common.end());
    EXPECT_EQ(said, expected);
    // Nothing was made on the way to a path that could never be named again.
    EXPECT_FALSE(fs::exists(client / "deep"));
    EXPECT_TRUE(fs::is_empty(long_name_in(client.path()).parent_path()));
  }
}

}  // namespace
}  // namespace qv
