#include "desktop/jobs.hpp"

#include <chrono>
#include <filesystem>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/foundations/lock.hpp"
#include "core/foundations/paths.hpp"
#include "core/self_update/update_journal.hpp"
#include "desktop/internal_failure.hpp"
#include "support/install_fixture.hpp"
#include "support/loopback_server.hpp"
#include "support/self_update_client.hpp"
#include "support/temp_dir.hpp"
#include "window_state_fixture.hpp"

namespace qv {
namespace {

namespace fs = std::filesystem;
using test::collect_job;
using test::last_as;
using test::TempDir;

std::mutex failures_mutex;
std::vector<std::string> reported_failures;

void record_failure(std::string_view description) {
  const std::lock_guard lock(failures_mutex);
  reported_failures.emplace_back(description);
}

// A prepared check as a check leaves it, for a client that may not exist.
PreparedCheck check_at(const fs::path& root, const fs::path& transaction_dir) {
  PreparedCheck check;
  check.root = root;
  check.transaction_dir = transaction_dir;
  check.manifest.release = 3;
  check.manifest.game_exe = "game.sh";
  return check;
}

bool wait_for_file(const fs::path& path, std::chrono::seconds timeout = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (fs::exists(path)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

TEST(JobsTest, ABodyThatThrowsStillEndsWithFailedAndIsReported) {
  set_failure_handler(&record_failure);
  struct Case {
    std::function<void(const WorkerSender&)> body;
    std::string text;
  };
  const std::vector<Case> cases = {
      {[](const WorkerSender&) { throw std::runtime_error("broken invariant"); }, "internal failure: broken invariant"},
      {[](const WorkerSender&) { throw std::bad_alloc(); }, "internal failure: std::bad_alloc"},
      {[](const WorkerSender&) { throw 7; }, "internal failure: i"},
  };
  for (const Case& c : cases) {
    reported_failures.clear();
    auto [sender, receiver] = make_worker_channel();
    spawn_job(sender, [&c](const WorkerSender& job) {
      job.send(WorkerMessage{WorkerMessage::Line{"before"}});
      c.body(job);
    });
    const auto messages = collect_job(receiver);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(test::failed_text(messages), c.text);
    const std::lock_guard lock(failures_mutex);
    EXPECT_EQ(reported_failures, std::vector<std::string>{c.text});
  }
  set_failure_handler(nullptr);
}

TEST(JobsTest, StartWorkerRefusesWhileBusyAndShowsTheHintWithoutConfiguration) {
  auto state = test::make_window_state();
  state->status = "before";
  const CancelFlag flag = state->cancel;
  state->busy = true;
  start_worker(*state, false, false);
  EXPECT_EQ(state->status, "before");
  EXPECT_TRUE(state->busy);
  flag.cancel();
  EXPECT_TRUE(state->cancel.is_cancelled()) << "the flag was not replaced";

  state->busy = false;
  start_worker(*state, true, false);
  EXPECT_EQ(state->status, kUnconfiguredHint);
  EXPECT_FALSE(state->busy);
  EXPECT_FALSE(state->receiver.try_receive());
}

TEST(JobsTest, EachCheckOrApplyGetsAFreshFlagAndTheStartingState) {
  TempDir dir;
  auto state = test::make_window_state();
  state->config = test::config_for(dir.path());
  state->ready = true;
  state->progress = Progress{Stage::Download, 5, 10, ProgressUnit::Files, "x"};
  state->stage_started = std::chrono::steady_clock::now() - std::chrono::hours(1);
  const CancelFlag old = state->cancel;
  old.cancel();

  start_worker(*state, false, false);
  EXPECT_TRUE(state->busy);
  EXPECT_FALSE(state->ready);
  EXPECT_FALSE(state->progress);
  EXPECT_FALSE(state->cancel.is_cancelled());
  EXPECT_LT(std::chrono::steady_clock::now() - state->stage_started, std::chrono::minutes(1));
  // Nothing answers at the manifest address: the check fails.
  EXPECT_TRUE(last_as<WorkerMessage::Failed>(collect_job(state->receiver)));
}

// The start-up job and the stop-game job each get a flag of their own: a
// cancel asked of an earlier job is not theirs.
TEST(JobsTest, TheStartupAndStopGameJobsStartWithAFreshFlag) {
  TempDir dir;
  auto state = test::make_window_state();
  state->config = test::config_for(dir.path());
  for (auto* start : {&start_stop_game_worker, &start_startup_worker}) {
    const CancelFlag old = state->cancel;
    old.cancel();
    start(*state);
    EXPECT_TRUE(state->busy);
    EXPECT_FALSE(state->cancel.is_cancelled());
    collect_job(state->receiver);
    state->busy = false;
  }
}

TEST(JobsTest, AnApplyWithoutACheckFails) {
  TempDir dir;
  auto [sender, receiver] = make_worker_channel();
  check_apply_worker(sender, test::config_for(dir.path()), std::nullopt, CancelFlag(), true, false);
  const auto messages = collect_job(receiver);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(test::failed_text(messages), "check before update");
}

TEST(JobsTest, ACheckWhoseHeldCheckCannotBeDiscardedMakesNoNewCheck) {
  TempDir dir;
  test::LoopbackServer server;
  ClientConfig config = test::config_for(dir.path());
  config.manifest_url = server.url("/manifest.qvm");
  // A folder outside the client's transactions is never removed.
  test::write_file(dir / "elsewhere/keep.txt", "mine");
  const PreparedCheck held = check_at(dir.path(), dir / "elsewhere");
  auto [sender, receiver] = make_worker_channel();
  check_apply_worker(sender, config, held, CancelFlag(), false, true);
  const auto messages = collect_job(receiver);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_TRUE(last_as<WorkerMessage::Failed>(messages));
  EXPECT_EQ(server.request_count(), 0u);
  EXPECT_TRUE(fs::exists(dir / "elsewhere/keep.txt"));
}

TEST(JobsTest, StoppingNoGameReportsZeroProcesses) {
  TempDir dir;
  auto state = test::make_window_state();
  state->config = test::config_for(dir.path());
  start_stop_game_worker(*state);
  EXPECT_TRUE(state->busy);
  EXPECT_EQ(state->status, "ปิดเกมก่อนติดตั้ง");
  EXPECT_EQ(state->progress, (Progress{Stage::CloseGame, 0, 1, ProgressUnit::Steps, ""}));
  const auto messages = collect_job(state->receiver);
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(std::get<WorkerMessage::Line>(messages[0].payload).text, "Closed 0 game processes");
  EXPECT_TRUE(last_as<WorkerMessage::GameClosed>(messages));

  // Busy: a second stop does nothing.
  state->status = "busy";
  start_stop_game_worker(*state);
  EXPECT_EQ(state->status, "busy");
}

TEST(JobsTest, StartupWithASelfUpdateInFlightOnlyReportsIt) {
  TempDir dir;
  const fs::path transaction = dir / ".launcher/transactions" / std::string(32, 'a');
  fs::create_directories(transaction);
  const UpdateJournal journal{1, "replacing", std::string(32, 'b'), false};
  ASSERT_TRUE(write_update_journal(transaction, journal));
  auto state = test::make_window_state();
  state->config = test::config_for(dir.path());
  start_startup_worker(*state);
  EXPECT_TRUE(state->busy);
  const auto messages = collect_job(state->receiver);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_TRUE(last_as<WorkerMessage::SelfUpdateInFlight>(messages));
  // No recovery ran: the journal is as it was.
  EXPECT_EQ(read_update_journal(transaction), journal);
}

TEST(JobsTest, StartupStagesANewerLauncherAndMakesNoCheck) {
  test::SelfUpdateClient client;
  client.publish_launcher(5, test::bytes_source("#!/bin/sh\nexit 0\n"));
  const ClientConfig config = client.write_config();
  auto [sender, receiver] = make_worker_channel();
  startup_worker(sender, config, CancelFlag());
  const auto messages = collect_job(receiver);
  const auto* staged = last_as<WorkerMessage::SelfUpdateStaged>(messages);
  ASSERT_NE(staged, nullptr);
  EXPECT_TRUE(fs::is_regular_file(staged->transaction_dir / "Launcher.new.exe"));
  EXPECT_FALSE(receiver.try_receive());
  for (const auto& request : client.server().requests()) EXPECT_NE(request.target, "/manifest.qvm");
}

TEST(JobsTest, StartupWithoutANewerLauncherGoesOnToTheCheck) {
  test::SelfUpdateClient client;
  client.publish_launcher(4, test::bytes_source("same"));
  const ClientConfig config = client.write_config();
  auto [sender, receiver] = make_worker_channel();
  startup_worker(sender, config, CancelFlag());
  // No release is published: the check is the job's last word.
  const auto messages = collect_job(receiver);
  EXPECT_TRUE(last_as<WorkerMessage::Failed>(messages));
  for (const auto& m : messages) EXPECT_FALSE(std::holds_alternative<WorkerMessage::SelfUpdateStaged>(m.payload));
  EXPECT_TRUE(client.transaction_dirs().empty() || !fs::exists(client.transaction_dirs().front() / "Launcher.new.exe"));
}

TEST(JobsTest, CheckApplyAndStartupAgainstAServedRelease) {
  TempDir base;
  test::ClientFixture client(base.path());
  test::LoopbackServer server;
  const auto& release = client.publish(2, {{"game.sh", "#!/bin/sh\nexit 0\n"}, {"data/a.txt", "hello"}});
  server.serve_folder(release.dir);
  ClientConfig config = client.config();
  config.manifest_url = server.url("/manifest.qvm");
  config.object_base_url = server.url("/");

  auto [sender, receiver] = make_worker_channel();
  check_apply_worker(sender, config, std::nullopt, CancelFlag(), false, false);
  auto messages = collect_job(receiver);
  const auto* checked = last_as<WorkerMessage::CheckFinished>(messages);
  ASSERT_NE(checked, nullptr) << test::failed_text(messages);
  EXPECT_FALSE(checked->ready);
  EXPECT_EQ(checked->check.plan.download.size(), 2u);
  EXPECT_EQ(checked->check.manifest.release, 2u);
  bool progress_seen = false;
  for (const auto& m : messages) {
    if (const auto* line = std::get_if<WorkerMessage::Line>(&m.payload)) {
      progress_seen = progress_seen || parse_progress_line(line->text).has_value();
    }
  }
  EXPECT_TRUE(progress_seen) << "the engine's progress reaches the window as lines";

  check_apply_worker(sender, config, checked->check, CancelFlag(), true, false);
  messages = collect_job(receiver);
  ASSERT_TRUE(last_as<WorkerMessage::ApplyFinished>(messages)) << test::failed_text(messages);
  EXPECT_EQ(test::read_file(client.root() / "data/a.txt"), "hello");

  startup_worker(sender, config, CancelFlag());
  messages = collect_job(receiver);
  const auto* again = last_as<WorkerMessage::CheckFinished>(messages);
  ASSERT_NE(again, nullptr) << test::failed_text(messages);
  EXPECT_TRUE(again->ready);
  EXPECT_TRUE(again->check.plan.nothing_to_do());
}

class PlayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::write_file(dir / "game.sh", "#!/bin/sh\necho started > started.txt\n");
    fs::permissions(dir / "game.sh", fs::perms::owner_all);
  }
  fs::path lock_file() const { return dir / ".launcher/client.lock"; }
  TempDir dir;
};

TEST_F(PlayTest, StartsTheGameAfterRecoveryAndReleasesTheLock) {
  ASSERT_TRUE(launch_with_recovery(dir.path(), check_at(dir.path(), {})));
  EXPECT_TRUE(wait_for_file(dir / "started.txt"));
  EXPECT_FALSE(fs::exists(lock_file()));
}

TEST_F(PlayTest, AHeldLockStopsEverything) {
  // A journal recovery cannot read: had recovery run, it would have failed
  // and been recorded.
  test::write_file(dir / ".launcher/transactions" / std::string(32, 'c') / "journal.json", "{");
  auto held = acquire_client_lock(dir.path());
  ASSERT_TRUE(held);
  const Status played = launch_with_recovery(dir.path(), check_at(dir.path(), {}));
  ASSERT_FALSE(played);
  EXPECT_NE(played.error().to_string().find("another launcher is using this client"), std::string::npos);
  EXPECT_FALSE(fs::exists(dir / ".launcher/state/errors.txt"));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(fs::exists(dir / "started.txt"));
}

TEST_F(PlayTest, AFailedRecoveryStartsNoGameAndLeavesNoLock) {
  test::write_file(dir / ".launcher/transactions" / std::string(32, 'c') / "journal.json", "{");
  const Status played = launch_with_recovery(dir.path(), check_at(dir.path(), {}));
  ASSERT_FALSE(played);
  EXPECT_NE(test::read_file(dir / ".launcher/state/errors.txt").find("[UTC"), std::string::npos);
  EXPECT_FALSE(fs::exists(lock_file()));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(fs::exists(dir / "started.txt"));
}

}  // namespace
}  // namespace qv
