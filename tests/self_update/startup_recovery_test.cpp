#include "core/self_update/startup_recovery.hpp"

#include <filesystem>
#include <set>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "core/foundations/lock.hpp"
#include "core/foundations/paths.hpp"
#include "core/self_update/launcher_swap.hpp"
#include "core/self_update/update_journal.hpp"
#include "support/child_process.hpp"
#include "support/temp_dir.hpp"

namespace qv {
namespace {

namespace fs = std::filesystem;
using test::read_file;
using test::TempDir;
using test::write_file;

const std::string kToken = "0123456789abcdef0123456789abcdef";

ClientConfig config_for(const fs::path& root) {
  ClientConfig c;
  c.root = root;
  c.allow_loopback_http = true;  // arms the fail points
  return c;
}

// Runs the recovery of the client at args[0] and ends with 0, or 1 on an error.
QV_CHILD_MODE(recover) {
  auto recovered = recover_self_update(config_for(args.at(0)));
  if (!recovered) test::child_say(recovered.error().to_string());
  return recovered ? 0 : 1;
}

class Recovery : public ::testing::Test {
 protected:
  TempDir dir;
  ClientConfig config = config_for(dir.path());
  fs::path launcher = dir / "Launcher.exe";

  fs::path transaction(std::string_view phase, bool retain = false, std::optional<std::string> backup = std::nullopt) {
    const auto folder = dir / (".launcher/transactions/" + random_hex_id());
    fs::create_directories(folder);
    EXPECT_TRUE(write_update_journal(folder, UpdateJournal{1, std::string(phase), kToken, retain}));
    if (backup) write_file(folder / "Launcher.backup.exe", *backup);
    return folder;
  }
  std::string recover() {
    auto r = recover_self_update(config);
    return r ? "ok" : r.error().to_string();
  }
  // The names in `folder` with their 32 digits replaced by "{}".
  static std::multiset<std::string> names(const fs::path& folder) {
    std::multiset<std::string> out;
    for (const auto& entry : fs::directory_iterator(folder)) {
      auto name = entry.path().filename().string();
      for (auto prefix : {"Launcher.rejected-", "Launcher.restore-"}) {
        if (name.starts_with(prefix) && name.size() == std::string_view(prefix).size() + 36 &&
            is_hex_id(name.substr(std::string_view(prefix).size(), 32))) {
          name = std::string(prefix) + "{}.exe";
        }
      }
      out.insert(name);
    }
    return out;
  }
  std::string phase(const fs::path& folder) { return read_update_journal(folder).value().phase; }
};

TEST_F(Recovery, NothingToDoWithoutTransactions) {
  EXPECT_EQ(recover(), "ok");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir / ".launcher"), fs::directory_iterator()), 0);
}

TEST_F(Recovery, CompleteFoldersAreRemovedUnlessRetained) {
  const auto removed = transaction("complete");
  const auto kept = transaction("complete", true);
  const auto staged = transaction("staged");
  const auto rolled_back = transaction("rolled-back", false, "old");
  const auto install = dir / (".launcher/transactions/" + random_hex_id());
  write_file(install / "journal.json", "{}");
  write_file(launcher, "current");
  EXPECT_EQ(recover(), "ok");
  EXPECT_FALSE(fs::exists(removed));
  EXPECT_TRUE(fs::exists(kept / "self-update.json"));
  EXPECT_EQ(phase(staged), "staged");
  EXPECT_EQ(phase(rolled_back), "rolled-back");
  EXPECT_EQ(read_file(launcher), "current");
  EXPECT_TRUE(fs::exists(install / "journal.json"));
  EXPECT_FALSE(fs::exists(dir / ".launcher/client.lock"));
}

TEST_F(Recovery, InFlightUpdatesGetTheBackupBack) {
  const auto replacing = transaction("replacing", false, "old launcher");
  write_file(launcher, "new launcher");
  EXPECT_EQ(recover(), "ok");
  EXPECT_EQ(read_file(launcher), "old launcher");
  EXPECT_EQ(names(replacing),
            (std::multiset<std::string>{"self-update.json", "Launcher.backup.exe", "Launcher.rejected-{}.exe"}));
  for (const auto& entry : fs::directory_iterator(replacing)) {
    if (entry.path().filename().string().starts_with("Launcher.rejected-")) {
      EXPECT_EQ(read_file(entry.path()), "new launcher");
    }
  }
  EXPECT_EQ(read_update_journal(replacing).value(), (UpdateJournal{1, "rolled-back", kToken, false}));

  // Without a Launcher.exe in the root the backup is simply put back.
  const auto awaiting = transaction("awaiting-health", true, "older launcher");
  fs::remove(launcher);
  EXPECT_EQ(recover(), "ok");
  EXPECT_EQ(read_file(launcher), "older launcher");
  EXPECT_EQ(names(awaiting), (std::multiset<std::string>{"self-update.json", "Launcher.backup.exe"}));
  EXPECT_EQ(read_update_journal(awaiting).value(), (UpdateJournal{1, "rolled-back", kToken, true}));

  // Without a backup only the phase changes.
  const auto bare = transaction("awaiting-health");
  EXPECT_EQ(recover(), "ok");
  EXPECT_EQ(read_file(launcher), "older launcher");
  EXPECT_EQ(names(bare), std::multiset<std::string>{"self-update.json"});
  EXPECT_EQ(phase(bare), "rolled-back");
}

TEST_F(Recovery, AMalformedJournalOrALinkStopsItAndFreesTheLock) {
  const auto folder = transaction("replacing", false, "old");
  write_file(launcher, "new");
  write_file(folder / "self-update.json", "{\"version\":1}");
  EXPECT_EQ(recover(), "missing field `phase` at line 1 column 13");
  EXPECT_EQ(read_file(launcher), "new");
  EXPECT_FALSE(fs::exists(dir / ".launcher/client.lock"));
  fs::remove_all(folder);
  fs::create_directory_symlink(dir.path(), dir / ".launcher/transactions/link");
  EXPECT_EQ(recover(), "reparse point rejected: " + (dir / ".launcher/transactions/link").string());
}

// An update in flight behind a journal that cannot be looked at (here a link
// that loops on itself) is not passed over: the recovery stops with the error,
// so the start-up goes no further.
TEST_F(Recovery, AJournalThatCannotBeLookedAtStopsItAndFreesTheLock) {
  const auto hidden = transaction("replacing", false, "old");
  fs::remove(hidden / "self-update.json");
  fs::create_symlink("self-update.json", hidden / "self-update.json");
  write_file(launcher, "new");
  EXPECT_EQ(recover(), "Too many levels of symbolic links (os error 40)");
  EXPECT_EQ(read_file(launcher), "new");
  EXPECT_FALSE(fs::exists(dir / ".launcher/client.lock"));
}

TEST_F(Recovery, WhileAnotherHoldsTheLockNothingChanges) {
  const auto folder = transaction("replacing", false, "old");
  write_file(launcher, "new");
  auto lock = acquire_client_lock(dir.path());
  ASSERT_TRUE(lock);
  EXPECT_EQ(recover().rfind("another launcher is using this client", 0), 0u);
  EXPECT_EQ(phase(folder), "replacing");
  EXPECT_EQ(read_file(launcher), "new");
}

// A recovery killed at each step of its restore leaves a Launcher.exe, and the
// next run finishes the restore.
TEST_F(Recovery, KilledAtEachStepAndRunAgain) {
  for (const char* point : {"restore-copied", "restore-set-aside"}) {
    SCOPED_TRACE(point);
    const auto folder = transaction("awaiting-health", false, "old launcher");
    write_file(launcher, "new launcher");
    const auto crashed = test::run_self("recover", {dir.path().string()}, {{"QV_TEST_FAILPOINT", point}});
    EXPECT_EQ(crashed.exit_code, 77);
    EXPECT_EQ(read_file(launcher), "new launcher");
    EXPECT_EQ(phase(folder), "awaiting-health");
    const auto again = test::run_self("recover", {dir.path().string()});
    EXPECT_EQ(again.exit_code, 0) << again.output;
    EXPECT_EQ(read_file(launcher), "old launcher");
    EXPECT_EQ(phase(folder), "rolled-back");
    // The copy of the crashed run is not left behind.
    EXPECT_EQ(names(folder).count("Launcher.restore-{}.exe"), 0u);
  }
}

}  // namespace
}  // namespace qv
