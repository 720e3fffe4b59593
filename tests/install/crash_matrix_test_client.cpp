#include "crash_matrix_test_client.hpp"

#include <algorithm>
#include <map>
#include <stdexcept>

#include <gtest/gtest.h>

#include "core/foundations/lock.hpp"
#include "core/foundations/paths.hpp"
#include "core/install/apply.hpp"
#include "core/install/check.hpp"
#include "core/install/installed_state.hpp"
#include "core/install/journal.hpp"
#include "core/install/recovery.hpp"
#include "support/recording_sink.hpp"
#include "support/temp_dir.hpp"

namespace qv::test {

namespace fs = std::filesystem;

namespace {

std::string text_of(const Bytes& bytes) { return {bytes.begin(), bytes.end()}; }

std::vector<fs::path> transaction_dirs(const fs::path& root) {
  std::vector<fs::path> dirs;
  const fs::path folder = root / ".launcher/transactions";
  if (!fs::exists(folder)) return dirs;
  for (const auto& entry : fs::directory_iterator(folder)) dirs.push_back(entry.path());
  std::ranges::sort(dirs);
  return dirs;
}

// The phase of the one install journal of the client, "none" without one;
// the settled folders of the set-up are not the run's.
std::string journal_phase_of(const ServedChange& served) {
  std::vector<std::string> phases;
  for (const auto& dir : transaction_dirs(served.root())) {
    if (std::ranges::count(served.settled_folders(), dir.filename().string()) != 0) continue;
    if (fs::exists(dir / kJournalFile)) phases.push_back(journal_of(dir).phase);
  }
  EXPECT_LE(phases.size(), 1u) << "one apply ran, so at most one journal can exist";
  return phases.empty() ? "none" : phases.front();
}

std::optional<std::string> state_file(const fs::path& root) {
  const fs::path path = root / kInstalledStateRelative;
  if (!fs::exists(path)) return std::nullopt;
  return read_file(path);
}

// The bytes of `object` that the transaction folders other than `except`
// hold: the largest prefix, which is what a sibling copy or a resume can use.
std::uint64_t bytes_held(const fs::path& root, const fs::path& except, const FileEntry& entry) {
  std::uint64_t held = 0;
  for (const auto& dir : transaction_dirs(root)) {
    if (dir == except) continue;
    std::error_code ec;
    const auto size = fs::file_size(dir / "downloads" / entry.object, ec);
    if (!ec && size <= entry.object_bytes) held = std::max<std::uint64_t>(held, size);
  }
  return held;
}

}  // namespace

const char* side_name(Side side) { return side == Side::Old ? "old" : "new"; }

ServedChange::ServedChange(ClientFixture& client, const PublishedRelease& old_release,
                           const PublishedRelease& new_release, bool with_state)
    : client_(client), old_release_(old_release), new_release_(new_release), with_state_(with_state) {
  server_.serve_folder(new_release.dir);
  config_file_ = client.root().parent_path() / "launcher.json";
  write_file(config_file_, launcher_json(client.keys(), client.root(), server_.url("/manifest.qvm"), server_.url("/")));
  auto loaded = load_config(config_file_);
  if (!loaded) throw std::runtime_error("launcher.json: " + loaded.error().to_string());
  config_ = *loaded;
  reset();
  old_tree_ = client.client_tree();
  // What an install makes of it: changed files replaced (the game executable
  // as a program), new ones added; a delete happens only where the installed
  // state lists the file.
  new_tree_ = old_tree_;
  for (const auto& file : new_release.files) {
    const auto data = snapshot_file_entry(0644, file.content);
    if (old_tree_.contains(file.path) && old_tree_.at(file.path) == data) continue;
    new_tree_[file.path] = file.path == new_release.manifest.game_exe ? snapshot_file_entry(0755, file.content) : data;
  }
  if (with_state) {
    for (const auto& path : new_release.manifest.delete_) new_tree_.erase(path);
  }
}

void ServedChange::reset() {
  fs::remove_all(client_.root());
  fs::create_directories(client_.root());
  client_.place(old_release_, with_state_);

  settled_.clear();
  const auto settled = [&]() {
    settled_.push_back(random_hex_id());
    const fs::path folder = client_.root() / ".launcher/transactions" / settled_.back();
    fs::create_directories(folder);
    return folder;
  };
  const fs::path check = settled();
  write_file(check / "manifest.qvm", text_of(new_release_.envelope));
  write_file(check / "plan.json", "{}");
  const fs::path rolled_back = settled();
  const FileEntry* game = nullptr;
  for (const auto& entry : new_release_.manifest.files) {
    if (entry.path == new_release_.manifest.game_exe) game = &entry;
  }
  if (game == nullptr) throw std::runtime_error("the new release has no game executable");
  write_file(rolled_back / kJournalFile,
             journal_pretty_json(Journal{kJournalVersion, std::string(journal_phase::kRolledBack), false,
                                         {{game->path, true, false}}, false}));
  const std::string object = read_file(new_release_.dir / game->object);
  write_file(rolled_back / "downloads" / game->object, object.substr(0, object.size() / 2));
  write_file(rolled_back / ("rejected-" + random_hex_id()) / game->path, "a new file set aside");
  const fs::path self_update = settled();
  write_file(self_update / "self-update.json",
             R"({"version": 1, "phase": "complete", "token": "0123456789abcdef0123456789abcdef", "retain": false})");
  write_file(self_update / "Launcher.backup.exe", "an old launcher");
  write_file(settled() / "Updater.recovery.exe", "an updater");
}

std::optional<std::string> ServedChange::state(Side side) const {
  if (side == Side::New) return text_of(new_release_.envelope);
  if (with_state_) return text_of(old_release_.envelope);
  return std::nullopt;
}

Child ServedChange::start_driver(const std::vector<std::string>& command, const std::string& fail_point) const {
  std::vector<std::string> argv = {QV_ENGINE_DRIVER, config_file_.string()};
  argv.insert(argv.end(), command.begin(), command.end());
  ChildEnv env;
  if (!fail_point.empty()) env.emplace_back("QV_TEST_FAILPOINT", fail_point);
  return Child::start(argv, env);
}

CrashOutcome recover_and_finish(ServedChange& served) {
  CrashOutcome outcome;
  const fs::path& root = served.root();
  outcome.phase = journal_phase_of(served);
  // Without a journal the install either never began or finished and was
  // cleaned up; only its commit writes the new installed state.
  if (outcome.phase == journal_phase::kCommitted || outcome.phase == journal_phase::kComplete) {
    outcome.side = Side::New;
  } else if (outcome.phase == "none") {
    outcome.side = state_file(root) == served.state(Side::New) ? Side::New : Side::Old;
  }
  const bool rolls_back = outcome.phase == journal_phase::kPrepared || outcome.phase == journal_phase::kInstalling;

  // The next launcher's check recovers first.
  RecordingSink recovering;
  auto check = prepare(served.config(), false, CancelFlag(), recovering.sink());
  if (!check) {
    ADD_FAILURE() << "prepare after the crash: " << check.error().to_string();
    return outcome;
  }
  const auto lines = recovering.status_lines();
  EXPECT_EQ(std::ranges::count(lines, std::string("Recovering interrupted installation")), rolls_back ? 1 : 0);
  EXPECT_EQ(served.config().root / ".launcher/transactions", check->transaction_dir.parent_path());
  EXPECT_EQ(snapshot_tree(root, {.skip = {".launcher"}}), served.tree(outcome.side))
      << "the client after recovery is not the " << side_name(outcome.side) << " release (journal " << outcome.phase
      << ")";
  EXPECT_EQ(state_file(root), served.state(outcome.side));

  // A second recovery finds nothing left to do.
  {
    auto lock = acquire_client_lock(root);
    if (!lock) {
      ADD_FAILURE() << "lock: " << lock.error().to_string();
      return outcome;
    }
    const auto before = snapshot_tree(root, {.folders = true});
    RecordingSink again;
    const auto recovered = recover(root, again.sink());
    EXPECT_TRUE(recovered) << recovered.error().to_string();
    EXPECT_EQ(again.lines(), std::vector<std::string>{});
    EXPECT_EQ(snapshot_tree(root, {.folders = true}), before) << "a second recovery changed the client";
  }

  // The further check and apply.
  std::map<std::string, std::uint64_t> held;
  for (const auto index : check->plan.download) {
    const FileEntry& entry = check->manifest.files.at(index);
    held[entry.object] = bytes_held(root, check->transaction_dir, entry);
    outcome.held += held[entry.object];
  }
  served.server().clear_requests();
  auto ready = finish_check(served.config(), *check, LineSink::discard());
  if (!ready) {
    ADD_FAILURE() << "finish_check: " << ready.error().to_string();
    return outcome;
  }
  if (!*ready) {
    EXPECT_TRUE(apply(served.config(), *check, CancelFlag(), LineSink::discard()));
  }
  EXPECT_EQ(snapshot_tree(root, {.skip = {".launcher"}}), served.tree(Side::New));
  EXPECT_EQ(state_file(root), served.state(Side::New));

  std::map<std::string, std::uint64_t> sent;
  std::map<std::string, int> requests;
  for (const auto& request : served.server().requests()) {
    const std::string object = request.target.substr(1);
    if (!held.contains(object)) {
      ADD_FAILURE() << "a request for something the apply did not need: " << request.target;
      continue;
    }
    sent[object] += request.body_bytes;
    ++requests[object];
    outcome.fetched += request.body_bytes;
  }
  for (const auto index : check->plan.download) {
    const FileEntry& entry = check->manifest.files.at(index);
    SCOPED_TRACE(entry.path);
    EXPECT_EQ(sent[entry.object], entry.object_bytes - held[entry.object]);
    EXPECT_EQ(requests[entry.object], held[entry.object] == entry.object_bytes ? 0 : 1);
  }
  // Whatever the crash and the set-up left has been reclaimed.
  EXPECT_EQ(transaction_dirs(root), std::vector<fs::path>{});
  return outcome;
}

}  // namespace qv::test
