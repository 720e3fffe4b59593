#include "core/install/reclaim.hpp"

#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "core/foundations/config.hpp"
#include "core/foundations/paths.hpp"
#include "core/install/apply.hpp"
#include "core/install/check.hpp"
#include "core/install/journal.hpp"
#include "core/install/update_journal_record.hpp"
#include "support/child_process.hpp"
#include "support/recording_sink.hpp"
#include "support/served_client.hpp"
#include "support/temp_dir.hpp"

namespace qv {
namespace {

namespace fs = std::filesystem;
using test::ClientFile;

constexpr std::size_t kMiB = 1 << 20;

// args: the configuration file. Checks and applies the client as a launcher
// would, saying every line it is sent; 0 on success, 1 on failure.
QV_CHILD_MODE(check_and_apply) {
  auto config = load_config(args.at(0));
  if (!config) return 2;
  const LineSink say([](std::string line) { test::child_say(line); }, /*concurrent=*/true);
  auto check = prepare(*config, false, CancelFlag{}, say);
  if (!check) return 1;
  return apply(*config, *check, CancelFlag{}, say) ? 0 : 1;
}

std::vector<std::string> records_under(const std::string& log, std::string_view context) {
  std::vector<std::string> out;
  const std::string head = fmt::format(" {}]\n", context);
  for (std::size_t at = log.find(head); at != std::string::npos; at = log.find(head, at + 1)) {
    const std::size_t start = at + head.size();
    out.push_back(log.substr(start, log.find("\n\n", start) - start));
  }
  return out;
}

// The ids a "Reclaimed settled transactions: ..." record names.
std::set<std::string> reclaimed_ids(const std::string& record) {
  const std::string prefix = "Reclaimed settled transactions: ";
  EXPECT_TRUE(record.starts_with(prefix)) << record;
  std::set<std::string> ids;
  for (std::size_t start = prefix.size(), end;; start = end + 2) {
    end = record.find(", ", start);
    ids.insert(record.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) break;
  }
  return ids;
}

std::set<std::string> names_of(const std::vector<fs::path>& folders) {
  std::set<std::string> names;
  for (const auto& folder : folders) names.insert(folder.filename().string());
  return names;
}

// What every interruption leaves behind is reclaimed by the first patch that
// succeeds, and nothing is fetched twice on the way: the objects of a
// download cut short move on into the next attempt, and those of a rolled-back
// install into the one after it.
TEST(Reclaim, FailedChecksAKilledDownloadAndARolledBackInstallLeaveNothingOnceAPatchSucceeds) {
  test::ServedClient served;
  const auto& one = served.client.publish(
      1, {{"bin/game.exe", "game v1"}, {"data/a.pak", "old a"}, {"data/b.pak", "old b"}});
  const auto& two = served.client.publish(2, {{"bin/game.exe", "game v2"},
                                              {"data/a.pak", test::noise_bytes(3 * kMiB, 1)},
                                              {"data/b.pak", test::noise_bytes(2 * kMiB, 2)},
                                              {"data/c.txt", "charlie"}});
  served.client.place(one);
  served.serve(two);
  const ClientConfig config = served.config();
  const fs::path config_file = served.dir / "launcher.json";
  test::write_file(config_file, test::launcher_json(served.client.keys(), served.client.root(), config.manifest_url,
                                                    config.object_base_url));

  // Three start-up checks that found a manifest they could not open.
  test::Answer broken;
  broken.body = "not a manifest";
  served.server.script("/manifest.qvm", broken);
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(prepare(config, false, CancelFlag{}, LineSink::discard()));
  served.server.clear_scripts();
  ASSERT_EQ(served.transactions().size(), 3u);

  // A download killed once part of one object and all of another were on disk.
  const FileEntry& a = two.manifest.files[1];
  const FileEntry& b = two.manifest.files[2];
  test::Answer slow;
  slow.stall_after = kMiB;
  slow.stall_for = std::chrono::seconds(20);
  served.server.script("/" + a.object, slow);
  {
    auto child = test::Child::start_self("check_and_apply", {config_file.string()});
    bool part_of_a = false;
    bool all_of_b = false;
    const std::string b_done = fmt::format("Downloading data/b.pak: {0}/{0} bytes", b.object_bytes);
    while (!(part_of_a && all_of_b)) {
      const auto line = child.read_line();
      ASSERT_TRUE(line) << "the download ended early";
      part_of_a = part_of_a || (line->starts_with("Downloading data/a.pak: ") &&
                                !line->starts_with("Downloading data/a.pak: 0/"));
      all_of_b = all_of_b || *line == b_done;
    }
    child.kill(SIGKILL);
    EXPECT_EQ(child.wait().signal, SIGKILL);
  }
  served.server.clear_scripts();
  std::map<std::string, std::uint64_t> held;  // object -> bytes on disk after the kill
  for (const auto& folder : served.transactions()) {
    for (const FileEntry& entry : two.manifest.files) {
      std::error_code ec;
      const auto size = fs::file_size(folder / "downloads" / entry.object, ec);
      if (!ec) held[entry.object] = std::max<std::uint64_t>(held[entry.object], size);
    }
  }
  ASSERT_GT(held[a.object], 0u);
  ASSERT_LT(held[a.object], a.object_bytes);
  ASSERT_EQ(held[b.object], b.object_bytes);
  served.server.clear_requests();

  // An install that failed and was rolled back: it took over what the killed
  // download held and fetched the rest.
  ::setenv("QV_TEST_FAILPOINT", "error-during-install-1", 1);
  auto failed = prepare(config, false, CancelFlag{}, LineSink::discard());
  ASSERT_TRUE(failed) << failed.error().to_string();
  EXPECT_FALSE(apply(config, *failed, CancelFlag{}, LineSink::discard()));
  ::unsetenv("QV_TEST_FAILPOINT");
  ASSERT_EQ(test::journal_of(failed->transaction_dir).phase, "rolled-back");
  const std::set<std::string> left_behind = names_of(served.transactions());
  ASSERT_EQ(left_behind.size(), 5u);

  // The patch that succeeds.
  test::RecordingSink sink;
  auto check = prepare(config, false, CancelFlag{}, sink.sink());
  ASSERT_TRUE(check) << check.error().to_string();
  const auto applied = apply(config, *check, CancelFlag{}, sink.sink());
  ASSERT_TRUE(applied) << applied.error().to_string();

  EXPECT_EQ(served.transactions(), std::vector<fs::path>{});
  const auto reclaimed = records_under(served.log(), "cleanup");
  ASSERT_EQ(reclaimed.size(), 1u) << served.log();
  EXPECT_EQ(reclaimed_ids(reclaimed[0]), left_behind);
  // After the kill, each object was sent exactly the bytes no folder held.
  std::map<std::string, std::uint64_t> sent;
  for (const auto& request : served.server.requests()) {
    if (request.target.starts_with("/objects/")) sent[request.target.substr(1)] += request.body_bytes;
  }
  for (std::size_t i = 1; i < two.manifest.files.size(); ++i) {
    const FileEntry& entry = two.manifest.files[i];
    EXPECT_EQ(sent[entry.object], entry.object_bytes - held[entry.object]) << entry.path;
  }
}

// A transaction folder of the client as some earlier run left it.
struct Leftover {
  const char* name;
  std::function<void(const fs::path&)> make;
  bool reclaimed;
};

void write_install_journal(const fs::path& folder, std::string phase, bool retain = false,
                           std::uint32_t version = kJournalVersion) {
  test::write_file(folder / "journal.json",
                   journal_pretty_json(Journal{version, std::move(phase), false, {{"x.txt", true, false}}, retain}));
}

void write_self_update_journal(const fs::path& folder, std::string phase, bool retain = false) {
  ASSERT_TRUE(write_update_journal(folder, UpdateJournal{1, std::move(phase), std::string(32, 'a'), retain}));
}

std::vector<Leftover> leftovers() {
  const auto check_files = [](const fs::path& f) {
    test::write_file(f / "manifest.qvm", "envelope");
    test::write_file(f / "plan.json", "{}");
  };
  return {
      {"an abandoned check", check_files, true},
      {"a download cut short",
       [&](const fs::path& f) {
         check_files(f);
         test::write_file(f / "downloads/objects/0123456789abcdef0123456789abcdef.qvp", "part");
       },
       true},
      {"a complete install whose removal was cut short", [](const fs::path& f) { write_install_journal(f, "complete"); },
       true},
      {"a rolled-back install",
       [](const fs::path& f) {
         write_install_journal(f, "rolled-back");
         test::write_file(f / "rejected-0123456789abcdef0123456789abcdef/x.txt", "new");
       },
       true},
      {"a finished self-update", [](const fs::path& f) { write_self_update_journal(f, "complete"); }, true},
      {"a rolled-back self-update",
       [](const fs::path& f) {
         write_self_update_journal(f, "rolled-back");
         test::write_file(f / "Launcher.backup.exe", "old launcher");
       },
       true},
      {"a failed staging", [](const fs::path& f) { test::write_file(f / "launcher-update.qvm", "metadata"); }, true},
      {"a recovery updater's folder", [](const fs::path& f) { test::write_file(f / "Updater.recovery.exe", "x"); },
       true},
      {"an install prepared", [](const fs::path& f) { write_install_journal(f, "prepared"); }, false},
      {"an install installing", [](const fs::path& f) { write_install_journal(f, "installing"); }, false},
      {"an install committed", [](const fs::path& f) { write_install_journal(f, "committed"); }, false},
      {"a retained install", [](const fs::path& f) { write_install_journal(f, "complete", true); }, false},
      {"an install phase not known", [](const fs::path& f) { write_install_journal(f, "Complete"); }, false},
      {"an install journal of another version", [](const fs::path& f) { write_install_journal(f, "complete", false, 2); },
       false},
      {"a folder where the install journal belongs", [](const fs::path& f) { fs::create_directories(f / "journal.json"); },
       false},
      {"a truncated install journal",
       [](const fs::path& f) {
         write_install_journal(f, "complete");
         fs::resize_file(f / "journal.json", 20);
       },
       false},
      {"a self-update replacing", [](const fs::path& f) { write_self_update_journal(f, "replacing"); }, false},
      {"a self-update awaiting health", [](const fs::path& f) { write_self_update_journal(f, "awaiting-health"); },
       false},
      {"a staged self-update", [](const fs::path& f) { write_self_update_journal(f, "staged"); }, false},
      {"a retained self-update", [](const fs::path& f) { write_self_update_journal(f, "complete", true); }, false},
      {"a folder where the self-update journal belongs",
       [](const fs::path& f) { fs::create_directories(f / "self-update.json"); }, false},
      {"a finished install beside a self-update in flight",
       [](const fs::path& f) {
         write_install_journal(f, "complete");
         write_self_update_journal(f, "replacing");
       },
       false},
  };
}

// Once a check finds the client ready, every settled folder goes, and only
// those: a journal in flight, one that cannot be read, a retained folder and
// anything that is not a transaction folder stay, for recovery or the player.
TEST(Reclaim, AReadyCheckRemovesSettledFoldersOnlyAndSaysWhichInOneRecord) {
  test::ServedClient served;
  const auto& one = served.client.publish(1, {{"bin/game.exe", "game"}, {"x.txt", "x"}});
  served.client.place(one);
  served.serve(one);
  const fs::path transactions = served.client.root() / ".launcher/transactions";
  auto check = prepare(served.config(), false, CancelFlag{}, LineSink::discard());
  ASSERT_TRUE(check) << check.error().to_string();

  // Made after the check's own recovery, as another run may leave them.
  std::map<std::string, const char*> made;  // folder name -> what it is
  std::set<std::string> settled;
  const auto all = leftovers();
  for (const Leftover& leftover : all) {
    const std::string id = random_hex_id();
    fs::create_directories(transactions / id);
    leftover.make(transactions / id);
    made[id] = leftover.name;
    if (leftover.reclaimed) settled.insert(id);
  }
  // Not transaction folders: a file and a link with a transaction's name, a
  // folder with another name.
  const std::string file_id = random_hex_id();
  const std::string link_id = random_hex_id();
  test::write_file(transactions / file_id, "a file");
  fs::create_directory_symlink(served.dir.path(), transactions / link_id);
  fs::create_directories(transactions / "notes");
  // A settled folder that cannot be removed: a link inside it.
  const std::string blocked = random_hex_id();
  fs::create_directories(transactions / blocked);
  fs::create_symlink("elsewhere", transactions / blocked / "link");

  test::RecordingSink sink;
  const auto ready = finish_check(served.config(), *check, sink.sink());
  ASSERT_TRUE(ready) << ready.error().to_string();
  ASSERT_TRUE(*ready);

  for (const auto& [id, name] : made) {
    EXPECT_EQ(fs::exists(transactions / id), !settled.contains(id)) << name;
  }
  for (const std::string& kept : {file_id, link_id, std::string("notes"), blocked}) {
    EXPECT_TRUE(fs::exists(fs::symlink_status(transactions / kept))) << kept;
  }
  const auto records = records_under(served.log(), "cleanup");
  ASSERT_EQ(records.size(), 2u) << served.log();
  const std::string pending =
      "Cleanup pending: reparse point rejected: " + (transactions / blocked / "link").string();
  EXPECT_EQ(records[0], pending);
  EXPECT_EQ(reclaimed_ids(records[1]), settled);
  EXPECT_EQ(sink.status_lines(), std::vector<std::string>{pending});
  // Nothing was left half removed.
  EXPECT_TRUE(!fs::exists(served.client.root() / ".launcher/state/cleanup-pending") ||
              fs::is_empty(served.client.root() / ".launcher/state/cleanup-pending"));
}

// With artifacts retained nothing is ever reclaimed.
TEST(Reclaim, RetainedArtifactsAreNeverReclaimed) {
  test::ServedClient served;
  const auto& one = served.client.publish(1, {{"bin/game.exe", "game v1"}});
  const auto& two = served.client.publish(2, {{"bin/game.exe", "game v2"}});
  served.client.place(one);
  served.serve(two);
  const fs::path abandoned = served.client.root() / ".launcher/transactions" / random_hex_id();
  test::write_file(abandoned / "plan.json", "{}");
  const ClientConfig config = served.config(/*retain=*/true);
  auto check = prepare(config, false, CancelFlag{}, LineSink::discard());
  ASSERT_TRUE(check) << check.error().to_string();
  ASSERT_TRUE(apply(config, *check, CancelFlag{}, LineSink::discard()));
  EXPECT_TRUE(fs::exists(abandoned));
  EXPECT_TRUE(fs::exists(check->transaction_dir));
  EXPECT_TRUE(records_under(served.log(), "cleanup").empty());
}

}  // namespace
}  // namespace qv
