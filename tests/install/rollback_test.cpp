#include "core/install/rollback.hpp"

#include <stdlib.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/foundations/failpoint.hpp"
#include "core/foundations/hashing.hpp"
#include "core/foundations/paths.hpp"
#include "core/install/installed_state.hpp"
#include "core/install/recovery.hpp"
#include "support/install_fixture.hpp"
#include "support/recording_sink.hpp"
#include "support/temp_dir.hpp"

namespace qv {
namespace {

namespace fs = std::filesystem;

std::string text_of(const Status& status) { return status ? "ok" : status.error().to_string(); }

// Short enough to print when a comparison fails.
std::string digest(std::string_view content) { return hash_bytes_sha256(content).digest; }

// What the `rejected-{id}` folders of a transaction hold: relative path ->
// digest of the content, with every folder name checked for its 32-digit id.
std::multimap<std::string, std::string> set_aside(const fs::path& folder) {
  std::multimap<std::string, std::string> out;
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (!name.starts_with("rejected-") || name.starts_with("rejected-state-")) continue;
    EXPECT_TRUE(is_hex_id(name.substr(9))) << name;
    for (const auto& file : fs::recursive_directory_iterator(entry.path())) {
      if (file.is_regular_file()) {
        out.emplace(file.path().lexically_relative(entry.path()).generic_string(),
                    digest(test::read_file(file.path())));
      }
    }
  }
  return out;
}

std::vector<fs::path> rejected_states(const fs::path& folder) {
  std::vector<fs::path> out;
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with("rejected-state-")) {
      EXPECT_TRUE(name.ends_with(".qvm") && is_hex_id(name.substr(15, name.size() - 19))) << name;
      out.push_back(entry.path());
    }
  }
  return out;
}

std::size_t files_below(const fs::path& folder) {
  std::size_t count = 0;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) count += entry.is_regular_file() ? 1 : 0;
  return count;
}

class Rollback : public ::testing::Test {
 protected:
  Rollback() : change_(dir_.path()) {}

  const test::ClientFixture& client() const { return change_.client; }
  const fs::path& root() const { return change_.client.root(); }
  const fs::path& folder() const { return change_.check.transaction_dir; }
  std::string state() const { return test::read_file(root() / kInstalledStateRelative); }
  static std::string envelope(const test::PublishedRelease* release) {
    return {release->envelope.begin(), release->envelope.end()};
  }

  // An install that went through to "committed" but is to be undone, as
  // when apply could not finish writing that phase.
  test::StartedInstall committed() {
    auto install = test::start_install(client().config(), change_.check);
    EXPECT_TRUE(install);
    EXPECT_EQ(text_of(test::execute(client().config(), change_.check, *install, CancelFlag(), LineSink::discard())),
              "ok");
    EXPECT_EQ(test::journal_of(folder()).phase, "committed");
    return std::move(*install);
  }

  test::TempDir dir_;
  test::ReleaseChange change_;
};

TEST_F(Rollback, UndoesEveryKindOfOperationAndRestoresTheState) {
  auto install = committed();
  ASSERT_EQ(state(), envelope(change_.new_release));

  ASSERT_EQ(text_of(rollback(root(), folder(), install.journal)), "ok");
  EXPECT_EQ(client().client_tree(), change_.old_tree);
  EXPECT_EQ(state(), test::read_file(folder() / "previous-manifest.qvm"));
  EXPECT_EQ(state(), envelope(change_.old_release));
  // Every file the install left at a target, each in its own folder.
  EXPECT_EQ(set_aside(folder()), (std::multimap<std::string, std::string>{
                                     {"bin/game.exe", digest(test::noise_bytes(1'572'864, 22))},
                                     {"empty.txt", digest("")},
                                     {"new/dir/file.txt", digest("made by release 2\n")},
                                 }));
  EXPECT_EQ(files_below(folder() / "backup"), 0u);
  EXPECT_EQ(install.journal.phase, "rolled-back");
  EXPECT_EQ(test::journal_of(folder()), install.journal);
  // Past "installing", the journal reads "installing" before anything moves.
  EXPECT_EQ(test::logged_phases(folder()),
            (std::vector<std::string>{"prepared", "installing", "committed", "installing", "rolled-back"}));
  // The folders made for new files stay; nothing else of the install does.
  EXPECT_TRUE(fs::is_directory(root() / "new/dir"));
}

TEST_F(Rollback, WithoutAnEarlierStateTheNewOneIsSetAside) {
  fs::remove(root() / kInstalledStateRelative);
  auto install = committed();
  EXPECT_FALSE(install.journal.previous_state);
  ASSERT_EQ(text_of(rollback(root(), folder(), install.journal)), "ok");
  EXPECT_FALSE(fs::exists(root() / kInstalledStateRelative));
  const auto states = rejected_states(folder());
  ASSERT_EQ(states.size(), 1u);
  EXPECT_EQ(test::read_file(states[0]), envelope(change_.new_release));
  EXPECT_EQ(client().client_tree(), change_.old_tree);
}

TEST_F(Rollback, AnInstallStoppedBeforeItsFirstMoveHasNoBackupsAndNothingToUndo) {
  auto install = test::start_install(client().config(), change_.check);
  ASSERT_TRUE(install);
  ASSERT_EQ(text_of(rollback(root(), folder(), install->journal)), "ok");
  EXPECT_EQ(client().client_tree(), change_.old_tree);
  EXPECT_EQ(state(), envelope(change_.old_release));
  EXPECT_TRUE(set_aside(folder()).empty());
  EXPECT_EQ(test::logged_phases(folder()), (std::vector<std::string>{"prepared", "installing", "rolled-back"}));
}

TEST_F(Rollback, NewFilesOfAFailedInstallAreSetAsideCompleteOrPartial) {
  test::TempDir dir;
  test::ClientFixture fresh(dir.path());
  const auto& release =
      fresh.publish(1, {{"a.bin", "first\n"}, {"sub/b.bin", "second\n"}, {"c.bin", test::noise_bytes(1'572'864, 5)}});
  const auto check = fresh.prepare(release, {0, 1, 2}, {});
  ::setenv(std::string(kFailPointVariable).c_str(), "error-during-install-2", 1);
  Journal journal;
  EXPECT_EQ(text_of(test::run_install(fresh.config(), check, CancelFlag(), LineSink::discard(), &journal)),
            "install c.bin: injected write failure during c.bin");
  ::unsetenv(std::string(kFailPointVariable).c_str());

  EXPECT_EQ(fresh.client_tree(), test::TreeSnapshot{});
  const auto aside = set_aside(check.transaction_dir);
  ASSERT_EQ(aside.size(), 3u);
  EXPECT_EQ(aside.find("a.bin")->second, digest("first\n"));
  EXPECT_EQ(aside.find("sub/b.bin")->second, digest("second\n"));
  // Only the first chunk was written when the failure was injected.
  fs::path partial;
  for (const auto& entry : fs::recursive_directory_iterator(check.transaction_dir)) {
    if (entry.path().filename() == "c.bin") partial = entry.path();
  }
  const std::string written = test::read_file(partial);
  EXPECT_GT(written.size(), 0u);
  EXPECT_LT(written.size(), 1'572'864u);
  EXPECT_TRUE(test::noise_bytes(1'572'864, 5).starts_with(written));
  EXPECT_EQ(test::journal_of(check.transaction_dir).phase, "rolled-back");
  EXPECT_TRUE(rejected_states(check.transaction_dir).empty());
}

TEST_F(Rollback, AStoppedRollbackIsFinishedByRecoveryWithTheSameClient) {
  auto install = committed();
  // The backup of the first operation is out of reach (behind a link): the
  // rollback undoes operations 3, 2 and 1 and stops at 0.
  const fs::path backup = folder() / "backup/bin/game.exe";
  fs::rename(backup, dir_ / "moved-backup");
  fs::create_symlink(dir_ / "moved-backup", backup);
  EXPECT_EQ(text_of(rollback(root(), folder(), install.journal)), "reparse point rejected: " + backup.string());
  EXPECT_EQ(test::journal_of(folder()).phase, "installing");
  EXPECT_EQ(test::read_file(root() / "old.txt"), "removed by release 2\n");
  EXPECT_EQ(test::read_file(root() / "bin/game.exe"), test::noise_bytes(1'572'864, 22));
  EXPECT_EQ(state(), envelope(change_.new_release));

  fs::remove(backup);
  fs::rename(dir_ / "moved-backup", backup);
  test::RecordingSink lines;
  ASSERT_EQ(text_of(recover(root(), lines.sink())), "ok");
  EXPECT_EQ(lines.lines(), std::vector<std::string>{"Recovering interrupted installation"});
  EXPECT_EQ(client().client_tree(), change_.old_tree);
  EXPECT_EQ(state(), envelope(change_.old_release));
  EXPECT_EQ(test::journal_of(folder()).phase, "rolled-back");
  EXPECT_EQ(set_aside(folder()).size(), 3u);
}

TEST_F(Rollback, WhenTheJournalCannotBeTurnedBackNothingMovesAndRecoveryFinishesTheInstall) {
  auto install = committed();
  const std::string committed_journal = test::read_file(folder() / "journal.json");
  fs::remove(folder() / "journal.json");
  fs::create_directories(folder() / "journal.json/blocked");

  const std::string error = text_of(rollback(root(), folder(), install.journal));
  EXPECT_TRUE(error.starts_with("replace " + (folder() / "journal.json").string() + ": ")) << error;
  EXPECT_EQ(client().client_tree(), change_.new_tree);
  EXPECT_EQ(state(), envelope(change_.new_release));
  EXPECT_TRUE(set_aside(folder()).empty());

  fs::remove_all(folder() / "journal.json");
  test::write_file(folder() / "journal.json", committed_journal);
  ASSERT_EQ(text_of(recover(root(), LineSink::discard())), "ok");
  EXPECT_EQ(client().client_tree(), change_.new_tree);
  EXPECT_EQ(state(), envelope(change_.new_release));
  EXPECT_FALSE(fs::exists(folder()));
}

}  // namespace
}  // namespace qv
