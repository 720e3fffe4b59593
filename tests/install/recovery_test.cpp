#include "core/install/recovery.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/formats/envelope.hpp"
#include "core/foundations/failpoint.hpp"
#include "core/foundations/paths.hpp"
#include "core/install/installed_state.hpp"
#include "platform/tree.hpp"
#include "support/child_process.hpp"
#include "support/install_fixture.hpp"
#include "support/recording_sink.hpp"
#include "support/temp_dir.hpp"

namespace qv {
namespace {

namespace fs = std::filesystem;

std::string text_of(const Status& status) { return status ? "ok" : status.error().to_string(); }

ClientConfig child_config(const fs::path& root) {
  ClientConfig config;
  config.root = root;
  const auto keys = test::ReleaseKeys::from_seed(1);
  config.public_key = keys.public_key;
  config.manifest_key = keys.manifest_key;
  config.allow_loopback_http = true;
  return config;
}

// args: root, transaction folder. Installs the release change's plan from
// the folder's manifest.qvm as apply would; 0 on success, 1 on failure.
QV_CHILD_MODE(install_change) {
  const ClientConfig config = child_config(args.at(0));
  PreparedCheck check;
  check.root = args.at(0);
  check.transaction_dir = args.at(1);
  const std::string bytes = test::read_file(check.transaction_dir / "manifest.qvm");
  auto manifest = open_manifest(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()),
                                config.public_key, config.manifest_key);
  if (!manifest) return 2;
  check.manifest = *manifest;
  check.plan.download = {0, 2, 3};
  check.plan.delete_ = {"old.txt"};
  auto installed = test::run_install(config, check, CancelFlag(), LineSink::discard());
  if (!installed) std::fprintf(stderr, "install: %s\n", installed.error().to_string().c_str());
  return installed ? 0 : 1;
}

// args: root, and "unprivileged" to give up root first. Sends every line of
// the recovery; 0 on success, 1 with the error as the last line.
QV_CHILD_MODE(recover_client) {
  if (args.size() > 1 && args[1] == "unprivileged" && (::setgid(65534) != 0 || ::setuid(65534) != 0)) return 3;
  auto recovered = recover(args.at(0), LineSink([](std::string line) { test::child_say(line); }));
  if (!recovered) test::child_say("error: " + recovered.error().to_string());
  return recovered ? 0 : 1;
}

std::vector<std::string> lines_of(const std::string& output) {
  std::vector<std::string> lines;
  for (std::size_t start = 0, end; (end = output.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(output.substr(start, end - start));
  }
  return lines;
}

struct Recovered {
  int exit_code;
  std::vector<std::string> lines;
};
Recovered recover_in_child(const fs::path& root, const char* how = "") {
  const auto ended = test::run_self("recover_client", {root.string(), how});
  return {ended.exit_code, lines_of(ended.output)};
}

std::string envelope(const test::PublishedRelease* release) {
  return {release->envelope.begin(), release->envelope.end()};
}

TEST(RecoverAfterACrash, EveryExecutorFailPointEndsOnTheOldOrTheNewReleaseAndASecondRunChangesNothing) {
  struct Case {
    const char* point;
    bool after_commit;
  };
  const Case cases[] = {
      {"after-backup-0", false},   {"during-install-0", false}, {"after-install-0", false}, {"after-backup-1", false},
      {"during-install-1", false}, {"after-install-1", false},  {"after-backup-2", false},  {"after-install-2", false},
      {"after-backup-3", false},   {"after-install-3", false},  {"after-state", false},     {"after-committed", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.point);
    test::TempDir dir;
    test::ReleaseChange change(dir.path());
    const fs::path& root = change.client.root();
    const fs::path& folder = change.check.transaction_dir;
    const auto installed = test::run_self("install_change", {root.string(), folder.string()},
                                          {{std::string(kFailPointVariable), c.point}});
    ASSERT_EQ(installed.exit_code, 77);
    EXPECT_EQ(test::journal_of(folder).phase, c.after_commit ? "committed" : "installing");

    const auto first = recover_in_child(root);
    ASSERT_EQ(first.exit_code, 0) << testing::PrintToString(first.lines);
    EXPECT_EQ(change.client.client_tree(), c.after_commit ? change.new_tree : change.old_tree);
    const std::string state = test::read_file(root / kInstalledStateRelative);
    EXPECT_EQ(state, envelope(c.after_commit ? change.new_release : change.old_release));
    if (c.after_commit) {
      EXPECT_EQ(first.lines, std::vector<std::string>{});
      EXPECT_FALSE(fs::exists(folder));
    } else {
      EXPECT_EQ(first.lines, std::vector<std::string>{"Recovering interrupted installation"});
      EXPECT_EQ(test::journal_of(folder).phase, "rolled-back");
    }

    const auto before = change.client.whole_tree();
    const auto second = recover_in_child(root);
    EXPECT_EQ(second.exit_code, 0);
    EXPECT_EQ(second.lines, std::vector<std::string>{});
    EXPECT_EQ(change.client.whole_tree(), before);
  }
}

TEST(RecoverAfterACrash, AnEmptyFileWritesNoChunkSoItsDuringPointNeverFires) {
  test::TempDir dir;
  test::ReleaseChange change(dir.path());
  const auto installed =
      test::run_self("install_change", {change.client.root().string(), change.check.transaction_dir.string()},
                     {{std::string(kFailPointVariable), "during-install-2"}});
  EXPECT_EQ(installed.exit_code, 0);
  EXPECT_EQ(change.client.client_tree(), change.new_tree);
}

TEST(RecoverAfterACrash, AnInstallStoppedAtPreparedIsRolledBackWithNothingToUndo) {
  test::TempDir dir;
  test::ReleaseChange change(dir.path());
  auto install = test::start_install(change.client.config(), change.check);
  ASSERT_TRUE(install);
  install->journal.phase = "prepared";
  ASSERT_TRUE(write_journal(change.check.transaction_dir, install->journal));
  test::RecordingSink lines;
  ASSERT_EQ(text_of(recover(change.client.root(), lines.sink())), "ok");
  EXPECT_EQ(lines.lines(), std::vector<std::string>{"Recovering interrupted installation"});
  EXPECT_EQ(change.client.client_tree(), change.old_tree);
  EXPECT_EQ(test::read_file(change.client.root() / kInstalledStateRelative), envelope(change.old_release));
  EXPECT_EQ(test::journal_of(change.check.transaction_dir).phase, "rolled-back");
}

class Recovery : public ::testing::Test {
 protected:
  Recovery() : client_(dir_.path()) {}

  const fs::path& root() const { return client_.root(); }
  fs::path transactions() const { return root() / ".launcher/transactions"; }
  std::string log() const { return test::read_file(root() / ".launcher/state/errors.txt"); }

  // A transaction folder holding `journal`.
  fs::path with_journal(const Journal& journal) const {
    const fs::path folder = transactions() / random_hex_id();
    fs::create_directories(folder);
    EXPECT_TRUE(write_journal(folder, journal));
    return folder;
  }
  static Journal finished(std::string phase, bool retain = false) {
    return Journal{1, std::move(phase), false, {}, retain};
  }

  test::TempDir dir_;
  test::ClientFixture client_;
};

TEST_F(Recovery, NothingToRecoverSendsAndRecordsNothing) {
  test::RecordingSink lines;
  EXPECT_EQ(text_of(recover(root(), lines.sink())), "ok");
  // A check never applied, a self-update, a stray file: none holds an install journal.
  test::write_file(transactions() / random_hex_id() / "manifest.qvm", "m");
  test::write_file(transactions() / random_hex_id() / "self-update.json", "{}");
  test::write_file(transactions() / "notes.txt", "n");
  test::write_file(transactions() / random_hex_id() / "plan.json", "{}");
  const auto before = client_.whole_tree();
  EXPECT_EQ(text_of(recover(root(), lines.sink())), "ok");
  EXPECT_EQ(client_.whole_tree(), before);
  EXPECT_EQ(lines.lines(), std::vector<std::string>{});
  EXPECT_FALSE(fs::exists(root() / ".launcher/state/errors.txt"));
}

TEST_F(Recovery, FinishedInstallsAreMarkedCompleteAndRemovedUnlessRetained) {
  const fs::path committed = with_journal(finished("committed"));
  const fs::path complete = with_journal(finished("complete"));
  const fs::path retained = with_journal(finished("committed", true));
  const fs::path rolled_back = with_journal(finished("rolled-back"));
  for (int run = 1; run <= 2; ++run) {
    test::RecordingSink lines;
    ASSERT_EQ(text_of(recover(root(), lines.sink())), "ok");
    EXPECT_EQ(lines.lines(), std::vector<std::string>{});
  }
  EXPECT_FALSE(fs::exists(committed));
  EXPECT_FALSE(fs::exists(complete));
  EXPECT_EQ(test::journal_of(retained), finished("complete", true));
  // Each visit writes the retained journal again.
  const std::string events = test::read_file(retained / "journal-events.jsonl");
  const std::string line = journal_compact_json(finished("complete", true)) + "\n";
  EXPECT_EQ(events, journal_compact_json(finished("committed", true)) + "\n" + line + line);
  EXPECT_EQ(test::journal_of(rolled_back), finished("rolled-back"));
}

TEST_F(Recovery, AJournalItDoesNotKnowStopsItBeforeLaterEntries) {
  struct Case {
    Journal journal;
    const char* error;
  };
  const Case cases[] = {
      {finished("Complete"), "unknown journal phase"},
      {finished("done"), "unknown journal phase"},
      {Journal{2, "complete", false, {}, false}, "unknown recovery journal"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    fs::remove_all(root() / ".launcher");
    std::vector<fs::path> finished_ones;
    for (int i = 0; i < 4; ++i) finished_ones.push_back(with_journal(finished("committed")));
    const fs::path unknown = with_journal(c.journal);
    // Entries are visited in listing order: those before the unknown journal
    // are finished, those after it are not reached.
    const auto order = platform::list_directory(transactions()).value();
    const auto at = std::find(order.begin(), order.end(), unknown.filename().string());
    for (int run = 1; run <= 2; ++run) {
      EXPECT_EQ(text_of(recover(root(), LineSink::discard())), c.error);
    }
    for (auto it = order.begin(); it != order.end(); ++it) {
      EXPECT_EQ(fs::exists(transactions() / *it), it >= at) << *it;
    }
    EXPECT_EQ(test::journal_of(unknown), c.journal);
    // Recorded under "recover" at every call.
    const std::string record = std::string(" recover]\n") + c.error + "\n\n";
    std::size_t records = 0;
    for (std::size_t pos = 0; (pos = log().find(record, pos)) != std::string::npos; ++pos) ++records;
    EXPECT_EQ(records, 2u);
  }
}

TEST_F(Recovery, AJournalThatExistsButCannotBeReadIsAnError) {
  const fs::path truncated = with_journal(finished("installing"));
  const std::string whole = test::read_file(truncated / "journal.json");
  test::write_file(truncated / "journal.json", whole.substr(0, 40));
  EXPECT_EQ(text_of(recover(root(), LineSink::discard())), "EOF while parsing a string at line 3 column 22");
  EXPECT_EQ(text_of(recover(root(), LineSink::discard())), "EOF while parsing a string at line 3 column 22");
  fs::remove_all(truncated);

  const fs::path folder = transactions() / random_hex_id();
  fs::create_directories(folder / "journal.json");
  EXPECT_EQ(text_of(recover(root(), LineSink::discard())), "Is a directory (os error 21)");
  fs::remove_all(folder);

  // A journal that an unprivileged run cannot even look at is no proof that
  // there is none.
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to start an unprivileged child";
  const fs::path hidden = with_journal(finished("installing"));
  fs::permissions(hidden, fs::perms::owner_all);
  fs::permissions(transactions().parent_path(), fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);
  const auto recovered = recover_in_child(root(), "unprivileged");
  EXPECT_EQ(recovered.exit_code, 1);
  // The error first; the log is out of its reach too.
  EXPECT_EQ(recovered.lines, (std::vector<std::string>{
                                 "error: Permission denied (os error 13)",
                                 "Cannot write .launcher/state/errors.txt: Permission denied (os error 13)",
                             }));
  EXPECT_EQ(test::journal_of(hidden).phase, "installing");
}

TEST_F(Recovery, PendingCleanupsAreFinishedFirst) {
  // A removal that crashed after its marker: the folder is gone before the
  // journals are read, so its stale journal is never rolled back.
  const fs::path interrupted = with_journal(finished("installing"));
  const std::string id = interrupted.filename().string();
  test::write_file(root() / ".launcher/state/cleanup-pending" / (id + ".json"), "{\"pending\":true}");
  // A removal that fails again: its folder holds a link.
  const fs::path blocked = transactions() / random_hex_id();
  fs::create_directories(blocked);
  fs::create_symlink(dir_.path(), blocked / "link");
  const std::string blocked_id = blocked.filename().string();
  test::write_file(root() / ".launcher/state/cleanup-pending" / (blocked_id + ".json"), "{\"pending\":true}");

  test::RecordingSink lines;
  ASSERT_EQ(text_of(recover(root(), lines.sink())), "ok");
  EXPECT_FALSE(fs::exists(interrupted));
  const std::string again =
      "Cleanup pending for " + blocked_id + ": reparse point rejected: " + (blocked / "link").string();
  EXPECT_EQ(lines.lines(), std::vector<std::string>{again});
  EXPECT_NE(log().find(" cleanup/retry]\n" + again + "\n\n"), std::string::npos);
  EXPECT_EQ(log().find("Recovering"), std::string::npos);
}

TEST_F(Recovery, AFinishedInstallThatCannotBeRemovedIsReportedAndRetried) {
  const fs::path folder = with_journal(finished("committed"));
  fs::create_symlink(dir_.path(), folder / "link");
  test::RecordingSink lines;
  ASSERT_EQ(text_of(recover(root(), lines.sink())), "ok");
  const std::string pending = "Cleanup pending: reparse point rejected: " + (folder / "link").string();
  EXPECT_EQ(lines.lines(), std::vector<std::string>{pending});
  EXPECT_NE(log().find(" cleanup]\n" + pending + "\n\n"), std::string::npos);
  EXPECT_EQ(test::journal_of(folder).phase, "complete");

  fs::remove(folder / "link");
  ASSERT_EQ(text_of(recover(root(), LineSink::discard())), "ok");
  EXPECT_FALSE(fs::exists(folder));
}

TEST_F(Recovery, ARollbackFailureFailsTheCall) {
  // An install whose operation names a path of the launcher's own.
  const fs::path folder = with_journal(Journal{1, "prepared", false, {{".launcher/state/x", false, false}}, false});
  test::RecordingSink lines;
  EXPECT_EQ(text_of(recover(root(), lines.sink())), "reserved launcher path");
  EXPECT_EQ(lines.lines(), std::vector<std::string>{"Recovering interrupted installation"});
  EXPECT_NE(log().find(" recovery]\nRecovering interrupted installation\n\n"), std::string::npos);
  EXPECT_EQ(test::journal_of(folder).phase, "prepared");
}

}  // namespace
}  // namespace qv
