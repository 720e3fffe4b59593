#include "desktop/window_proc.hpp"

#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "core/foundations/lock.hpp"
#include "core/self_update/update_journal.hpp"
#include "desktop/actions.hpp"
#include "desktop/jobs.hpp"
#include "desktop/theme.hpp"
#include "desktop/window_geometry.hpp"
#include "support/loopback_server.hpp"
#include "support/temp_dir.hpp"
#include "window_state_fixture.hpp"

namespace qv {
namespace {

namespace fs = std::filesystem;
namespace ev = platform;
using Clock = std::chrono::steady_clock;
using test::TempDir;

const std::string kTransactionId(32, 'd');

std::string progress_line(const Progress& p) { return std::string(kProgressTag) + serialize_progress(p); }

bool wait_for_file(const fs::path& path) {
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (Clock::now() < deadline) {
    if (fs::exists(path)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// Points `config` at a manifest of `server` whose answer pauses for 1.5 s
// after 16 bytes: a download sees a cancel with the next bytes after the
// pause, and otherwise gets 4 KiB that are no release.
void serve_pausing_manifest(test::LoopbackServer& server, ClientConfig& config) {
  test::Answer pausing;
  pausing.body = std::string(4096, 'x');
  pausing.stall_after = 16;
  pausing.stall_for = std::chrono::milliseconds(1500);
  server.script("/manifest.qvm", pausing);
  config.manifest_url = server.url("/manifest.qvm");
}

// A window (headless: it draws nothing, but opens, closes and keeps its
// title) over a real window state, with a client folder.
class WindowTest : public ::testing::Test {
 protected:
  WindowTest()
      : state(test::make_window_state()),
        window(ev::Window::create_headless({})),
        context{*state, window, {"Launcher.exe"}, false, std::nullopt} {}

  void configure() { state->config = test::config_for(dir.path()); }
  void send(WorkerMessage::Payload payload) { state->sender.send(WorkerMessage{std::move(payload)}); }
  void handle(WorkerMessage::Payload payload) { handle_worker_message(context, WorkerMessage{std::move(payload)}); }
  std::string errors() const {
    const fs::path log = dir / ".launcher/state/errors.txt";
    return fs::exists(log) ? test::read_file(log) : std::string();
  }
  PreparedCheck held_check(std::uint64_t release = 7) const {
    PreparedCheck check;
    check.root = dir.path();
    check.transaction_dir = dir / ".launcher/transactions" / kTransactionId;
    check.manifest.release = release;
    check.manifest.game_exe = "game.sh";
    return check;
  }

  TempDir dir;
  std::unique_ptr<AppState> state;
  ev::Window window;
  WindowContext context;
};

TEST_F(WindowTest, LinesBecomeStatusOrProgressAndKeepTheStageClockWithinAStage) {
  handle(WorkerMessage::Line{"Checking release"});
  EXPECT_EQ(state->status, "Checking release");
  EXPECT_FALSE(state->progress);

  struct Step {
    Progress progress;
    bool restarts_clock;
  };
  const std::vector<Step> steps = {
      {{Stage::Download, 5, 100, ProgressUnit::Bytes, "a.bin"}, true},  // nothing shown before
      {{Stage::Download, 9, 100, ProgressUnit::Bytes, "b.bin"}, false},
      {{Stage::Download, 0, 100, ProgressUnit::Bytes, "c.bin"}, true},
      {{Stage::Apply, 1, 3, ProgressUnit::Steps, "d.bin"}, true},
  };
  for (const Step& step : steps) {
    const auto long_ago = Clock::now() - std::chrono::hours(1);
    state->stage_started = long_ago;
    handle(WorkerMessage::Line{progress_line(step.progress)});
    EXPECT_EQ(state->progress, step.progress);
    EXPECT_EQ(state->status, fmt::format("{} • {}", stage_label(step.progress.stage), step.progress.detail));
    EXPECT_EQ(state->stage_started != long_ago, step.restarts_clock) << step.progress.detail;
  }
  handle(WorkerMessage::Line{"dropped while progress shows"});
  EXPECT_EQ(state->status, "แตกไฟล์และติดตั้งแพตช์ • d.bin");
}

TEST_F(WindowTest, AFinishedCheckIsHeldAndShownByItsReleaseLine) {
  PreparedCheck check = held_check(7);
  check.plan.download = {0, 1, 2};
  check.plan.download_bytes = 1'572'864;
  const Progress shown{Stage::Check, 2, 4, ProgressUnit::Files, "x"};
  state->progress = shown;
  state->busy = true;
  handle(WorkerMessage::CheckFinished{check, false});
  EXPECT_EQ(state->status, "Release 7 • 3 files • 1.5 MiB");
  EXPECT_EQ(state->prepared_check, check);
  EXPECT_EQ(state->progress, shown);
  EXPECT_FALSE(state->busy);
  EXPECT_FALSE(state->ready);

  state->busy = true;
  handle(WorkerMessage::CheckFinished{held_check(8), true});
  EXPECT_EQ(state->status, kCompleteReadyStatus);
  EXPECT_EQ(state->progress, (Progress{Stage::Done, 1, 1, ProgressUnit::Steps, ""}));
  EXPECT_EQ(state->prepared_check->manifest.release, 8u);
  EXPECT_TRUE(state->ready);
}

TEST_F(WindowTest, AFinishedApplyNamesWhatItLeft) {
  const fs::path markers = dir / ".launcher/state/cleanup-pending";
  struct Case {
    const char* name;
    bool configured;
    bool retain;
    std::vector<std::string> entries;  // of the marker folder; none: no folder
    std::optional<std::vector<std::string>> made;
    std::string_view status;
  };
  const std::vector<Case> cases = {
      {"unconfigured", false, false, {}, std::nullopt, kCompleteStatus},
      {"retained", true, true, {}, std::vector<std::string>{kTransactionId + ".json"}, kCompleteRetainedStatus},
      {"no marker folder", true, false, {}, std::nullopt, kCompleteStatus},
      {"empty marker folder", true, false, {}, std::vector<std::string>{}, kCompleteStatus},
      {"a marker", true, false, {}, std::vector<std::string>{kTransactionId + ".json"}, kCompleteCleanupStatus},
      {"other entries only", true, false, {},
       std::vector<std::string>{"notes.txt", kTransactionId + ".json.writing", "abc.json"}, kCompleteStatus},
  };
  for (const Case& c : cases) {
    fs::remove_all(markers);
    if (c.made) {
      fs::create_directories(markers);
      for (const auto& entry : *c.made) test::write_file(markers / entry, "{}");
    }
    state->config.reset();
    if (c.configured) {
      configure();
      state->config->retain_patch_artifacts = c.retain;
    }
    PreparedCheck check = held_check();
    check.plan.download = {1};
    check.plan.delete_ = {"old.txt"};
    state->prepared_check = check;
    state->busy = true;
    state->ready = false;
    handle(WorkerMessage::ApplyFinished{});
    EXPECT_EQ(state->status, c.status) << c.name;
    EXPECT_FALSE(state->busy);
    EXPECT_TRUE(state->ready);
    EXPECT_EQ(state->progress, (Progress{Stage::Done, 1, 1, ProgressUnit::Steps, ""}));
    ASSERT_TRUE(state->prepared_check);
    EXPECT_TRUE(state->prepared_check->plan.nothing_to_do());
  }
}

TEST_F(WindowTest, AFailedJobIsRecordedAndDropsTheCheck) {
  configure();
  state->busy = true;
  state->ready = true;
  state->prepared_check = held_check();
  state->progress = Progress{};
  handle(WorkerMessage::Failed{"prepare failed: no route"});
  EXPECT_EQ(state->status, "prepare failed: no route");
  EXPECT_FALSE(state->busy);
  EXPECT_FALSE(state->ready);
  EXPECT_FALSE(state->prepared_check);
  EXPECT_FALSE(state->progress);
  EXPECT_NE(errors().find("launcher worker]\nprepare failed: no route"), std::string::npos);

  handle(WorkerMessage::GameClosed{});
  EXPECT_EQ(state->status, kGameClosedStatus);
  EXPECT_EQ(state->progress, (Progress{Stage::CloseGame, 1, 1, ProgressUnit::Steps, ""}));
}

TEST_F(WindowTest, AnUpdaterThatCannotStartIsShownAndTheWindowStays) {
  configure();
  state->config_file = dir / "launcher.json";
  state->busy = true;
  handle(WorkerMessage::SelfUpdateStaged{dir / ".launcher/transactions" / kTransactionId});
  EXPECT_TRUE(window.is_open());
  EXPECT_FALSE(state->busy);
  EXPECT_NE(state->status.find("LauncherUpdater.exe must be distributed beside Launcher.exe"), std::string::npos);
  EXPECT_NE(errors().find("start updater]"), std::string::npos);
}

TEST_F(WindowTest, AStartedUpdaterClosesTheWindowAndLeavesLaterMessagesUnread) {
  configure();
  state->config_file = dir / "launcher.json";
  test::write_file(dir / "LauncherUpdater.exe", "#!/bin/sh\necho \"$@\" > updater-args.txt\n");
  fs::permissions(dir / "LauncherUpdater.exe", fs::perms::owner_all);
  const fs::path transaction = dir / ".launcher/transactions" / kTransactionId;
  fs::create_directories(transaction);
  state->busy = true;
  state->status = "before";
  send(WorkerMessage::SelfUpdateStaged{transaction});
  send(WorkerMessage::Line{"after"});
  timer_tick(context);
  EXPECT_FALSE(window.is_open());
  EXPECT_FALSE(state->busy);
  EXPECT_EQ(state->status, "before");
  ASSERT_TRUE(wait_for_file(dir / "updater-args.txt"));
  EXPECT_NE(test::read_file(dir / "updater-args.txt").find("--transaction " + kTransactionId), std::string::npos);
}

TEST_F(WindowTest, TheTickRefreshesTheTitleOnNewsOrWhileTheBarSweeps) {
  state->busy = true;
  state->status = "working";
  state->progress = Progress{Stage::Download, 1, 4, ProgressUnit::Files, ""};
  window.set_title("unchanged");
  timer_tick(context);
  EXPECT_EQ(window.title(), "unchanged") << "a known total and no news: nothing to refresh";

  state->progress->total.reset();
  timer_tick(context);
  EXPECT_EQ(window.title(), "QV Velmorane — working");

  send(WorkerMessage::Line{progress_line({Stage::Validate, 0, 0, ProgressUnit::Files, "z"})});
  timer_tick(context);
  EXPECT_EQ(window.title(), "QV Velmorane — ตรวจสอบไฟล์แพตช์ • z • 0%");

  send(WorkerMessage::Line{progress_line({Stage::Validate, 3, 4, ProgressUnit::Files, "z"})});
  timer_tick(context);
  EXPECT_EQ(window.title(), "QV Velmorane — ตรวจสอบไฟล์แพตช์ • z • 75%");
}

class DeferredStartTest : public WindowTest {
 protected:
  void SetUp() override {
    configure();
    state->check_pending = true;
    context.args = {"Launcher.exe", "--health-id", kTransactionId};
  }
  fs::path journal() const { return dir / ".launcher/transactions" / kTransactionId / "self-update.json"; }
  void age_stage_clock(std::chrono::seconds by) { state->stage_started = Clock::now() - by; }
  // Ticks until the start-up job has ended (nothing answers for the client,
  // so it fails), which a fast job may already have done within the tick
  // that started it.
  void expect_startup_job_ran() {
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (state->busy && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      timer_tick(context);
    }
    EXPECT_FALSE(state->busy);
    EXPECT_NE(errors().find("launcher worker]"), std::string::npos);
  }
};

TEST_F(DeferredStartTest, StartsOnTheFirstTickOnceTheUpdateHasSettledAndTheLockIsFree) {
  timer_tick(context);
  EXPECT_FALSE(state->check_pending);
  expect_startup_job_ran();
  EXPECT_FALSE(fs::exists(dir / ".launcher/client.lock")) << "the probe and the job both released it";
}

TEST_F(DeferredStartTest, AnUndecodableJournalWaitsForTheTimeLimit) {
  test::write_file(journal(), "not json");
  age_stage_clock(std::chrono::seconds(35));
  timer_tick(context);
  EXPECT_TRUE(state->check_pending);
  EXPECT_FALSE(state->busy);
  age_stage_clock(std::chrono::seconds(37));
  timer_tick(context);
  EXPECT_FALSE(state->check_pending);
  expect_startup_job_ran();
}

TEST_F(DeferredStartTest, AHeldLockOrARunningJobDelaysIt) {
  {
    auto held = acquire_client_lock(dir.path());
    ASSERT_TRUE(held);
    timer_tick(context);
    EXPECT_TRUE(state->check_pending);
  }
  // A check started from the window meanwhile: the start-up job waits for it
  // even past the time limit.
  state->busy = true;
  age_stage_clock(std::chrono::seconds(60));
  timer_tick(context);
  EXPECT_TRUE(state->check_pending);
  send(WorkerMessage::Failed{"check ended"});
  timer_tick(context);  // the check's last message
  EXPECT_FALSE(state->busy);
  timer_tick(context);
  EXPECT_FALSE(state->check_pending);
  expect_startup_job_ran();
}

// STOP GAME while the start-up waits, and a close while it runs: the close
// cancels nothing that comes after, so the deferred start-up job runs to its
// own end (here, a manifest that is no release), where a cancelled one would
// end at the server's first pause.
TEST_F(DeferredStartTest, ACloseDuringStopGameDoesNotCancelTheStartupJobThatFollows) {
  test::LoopbackServer server;
  serve_pausing_manifest(server, *state->config);
  perform_action(context, 2);
  ASSERT_TRUE(state->busy);
  window_proc(context, ev::KeyPressed{ev::Key::Escape});
  EXPECT_EQ(state->status, kCancellingStatus);
  const auto deadline = Clock::now() + std::chrono::seconds(60);
  while ((state->check_pending || state->busy) && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    timer_tick(context);
  }
  ASSERT_FALSE(state->check_pending);
  EXPECT_FALSE(state->busy);
  EXPECT_EQ(server.request_count(), 1u);
  const std::string log = errors();
  EXPECT_NE(log.find("launcher worker]"), std::string::npos) << log;
  EXPECT_EQ(log.find("cancelled"), std::string::npos) << log;
}

TEST(SelfUpdateSettledTest, OnlyAGoneOrCompleteJournalHasSettled) {
  TempDir dir;
  const ClientConfig config = test::config_for(dir.path());
  const fs::path transaction = dir / ".launcher/transactions" / kTransactionId;
  EXPECT_FALSE(self_update_settled(config, "not-an-id"));
  EXPECT_TRUE(self_update_settled(config, kTransactionId)) << "no journal";
  struct Case {
    std::string content;
    bool settled;
  };
  const std::vector<Case> cases = {
      {serialize_update_journal({1, "complete", "t", false}), true},
      {serialize_update_journal({1, "Complete", "t", false}), false},
      {serialize_update_journal({1, "awaiting-health", "t", false}), false},
      {serialize_update_journal({1, "rolled-back", "t", false}), false},
      {"{", false},
  };
  for (const Case& c : cases) {
    test::write_file(transaction / "self-update.json", c.content);
    EXPECT_EQ(self_update_settled(config, kTransactionId), c.settled) << c.content;
  }
}

TEST_F(WindowTest, CloseCancelsARunningJobAndOtherwiseClosesTheWindow) {
  state->busy = true;
  perform_action(context, kCloseTarget);
  EXPECT_TRUE(state->cancel.is_cancelled());
  EXPECT_EQ(state->status, kCancellingStatus);
  EXPECT_TRUE(window.is_open());

  state->busy = false;
  window_proc(context, ev::KeyPressed{ev::Key::Escape});
  EXPECT_FALSE(window.is_open());
}

TEST_F(WindowTest, CloseDuringARealCheckCancelsItAndTheWindowStaysUntilItEnds) {
  test::LoopbackServer server;
  configure();
  serve_pausing_manifest(server, *state->config);
  perform_action(context, 0);
  ASSERT_TRUE(state->busy);
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (server.request_count() == 0 && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  const auto cancelled_at = Clock::now();
  window_proc(context, ev::CloseRequested{});
  EXPECT_TRUE(window.is_open());
  EXPECT_EQ(state->status, kCancellingStatus);
  while (state->busy && Clock::now() < deadline) {
    timer_tick(context);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_FALSE(state->busy);
  EXPECT_LT(Clock::now() - cancelled_at, std::chrono::seconds(5));
  EXPECT_NE(state->status.find("cancelled"), std::string::npos) << state->status;
  EXPECT_NE(errors().find("launcher worker]"), std::string::npos);
  EXPECT_TRUE(window.is_open());

  // The next job gets a flag of its own.
  perform_action(context, 1);
  EXPECT_FALSE(state->cancel.is_cancelled());
  window_proc(context, ev::KeyPressed{ev::Key::Escape});
  while (state->busy && Clock::now() < deadline + std::chrono::seconds(10)) {
    timer_tick(context);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

TEST_F(WindowTest, APreviewShowingARunningStateClosesAtOnce) {
  context.preview = true;
  state->busy = true;
  window_proc(context, ev::CloseRequested{});
  EXPECT_FALSE(window.is_open());
  EXPECT_FALSE(state->cancel.is_cancelled());
}

TEST_F(WindowTest, ThePrimaryTargetChecksAppliesOrPlays) {
  // Unconfigured: the hint, nothing starts.
  perform_action(context, 0);
  EXPECT_EQ(state->status, kUnconfiguredHint);
  EXPECT_FALSE(state->busy);

  configure();
  state->busy = true;
  state->status = "busy";
  perform_action(context, 0);
  perform_action(context, 1);
  perform_action(context, 2);
  EXPECT_EQ(state->status, "busy");

  // A held check that found work is applied.
  state->busy = false;
  state->prepared_check = held_check();
  perform_action(context, 0);
  EXPECT_TRUE(state->busy);
  EXPECT_FALSE(test::failed_text(test::collect_job(state->receiver)).empty());
  state->busy = false;

  // Ready, but the game is missing: the error is recorded and titled.
  state->ready = true;
  perform_action(context, 0);
  EXPECT_TRUE(window.is_open());
  EXPECT_NE(state->status.find("game executable missing"), std::string::npos);
  EXPECT_EQ(window.title(), "QV Velmorane — " + state->status);
  EXPECT_NE(errors().find("launch game]"), std::string::npos);

  // Ready with the game there: it starts and the window closes.
  test::write_file(dir / "game.sh", "#!/bin/sh\necho started > started.txt\n");
  fs::permissions(dir / "game.sh", fs::perms::owner_all);
  perform_action(context, 0);
  EXPECT_FALSE(window.is_open());
  EXPECT_TRUE(wait_for_file(dir / "started.txt"));
}

TEST_F(WindowTest, TabCyclesTheFocusAndTheMouseClearsIt) {
  window_proc(context, ev::KeyPressed{ev::Key::Enter});
  EXPECT_TRUE(window.is_open()) << "Enter without focus does nothing";
  window_proc(context, ev::KeyPressed{ev::Key::Tab});
  EXPECT_EQ(state->focus, 0);
  state->focus = 7;
  window_proc(context, ev::KeyPressed{ev::Key::Tab, true});
  EXPECT_EQ(state->focus, 0);

  // Over the PATCH button at scale 0.625: base (300, 780).
  window_proc(context, ev::PointerMoved{188, 488});
  EXPECT_EQ(state->focus, -1);
  EXPECT_EQ(state->hover, 0);
  window_proc(context, ev::PointerLeft{});
  EXPECT_EQ(state->hover, -1);
  state->focus = 3;
  state->hover = 3;
  window_proc(context, ev::FocusLost{});
  EXPECT_EQ(state->focus, -1);
  EXPECT_EQ(state->hover, -1);

  // A click on CHECK acts on its release.
  window_proc(context, ev::ButtonPressed{ev::MouseButton::Left, 500, 488});
  EXPECT_NE(state->status, kUnconfiguredHint);
  window_proc(context, ev::ButtonReleased{ev::MouseButton::Left, 500, 488});
  EXPECT_EQ(state->status, kUnconfiguredHint);
}

class LinkTest : public WindowTest {
 protected:
  void SetUp() override {
    const char* path = std::getenv("PATH");
    saved_path = path ? path : "";
    fs::create_directories(dir / "bin");
    test::write_file(dir / "bin/xdg-open", "#!/bin/sh\necho \"$1\" > \"" + (dir / "opened.txt").string() + "\"\n");
    fs::permissions(dir / "bin/xdg-open", fs::perms::owner_all);
    fs::create_directories(dir / "empty");
  }
  void TearDown() override { ::setenv("PATH", saved_path.c_str(), 1); }
  void use_path(const fs::path& folder) { ::setenv("PATH", (folder.string() + ":/usr/bin:/bin").c_str(), 1); }
  std::string saved_path;
};

TEST_F(LinkTest, OpensTheHeldReleasesLinkThroughTheDesktop) {
  use_path(dir / "bin");
  configure();
  perform_action(context, 3);  // no check held
  PreparedCheck check = held_check();
  check.manifest.links = {"https://example.invalid/register", "", "https://example.invalid/discord"};
  state->prepared_check = check;
  perform_action(context, 4);  // an empty link
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(fs::exists(dir / "opened.txt"));
  EXPECT_EQ(errors(), "");

  perform_action(context, 5);
  ASSERT_TRUE(wait_for_file(dir / "opened.txt"));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(test::read_file(dir / "opened.txt"), "https://example.invalid/discord\n");
}

TEST_F(LinkTest, ALinkThatCannotBeOpenedShowsTheWholeError) {
  ::setenv("PATH", (dir / "empty").c_str(), 1);
  configure();
  PreparedCheck check = held_check();
  check.manifest.links.register_ = "https://example.invalid/register";
  state->prepared_check = check;
  perform_action(context, 3);
  EXPECT_TRUE(state->status.starts_with("Cannot open link: ")) << state->status;
  EXPECT_GT(state->status.size(), std::string_view("Cannot open link: ").size());
  EXPECT_EQ(window.title(), state->status);
  EXPECT_NE(errors().find("open link]\nCannot open link: "), std::string::npos);
}

TEST_F(WindowTest, AScaleChangeFitsTheMonitorOrGoesUnboundedWithoutOne) {
  platform::DisplayInfo display;
  display.connected = true;
  display.monitors.push_back({{0, 0, 3840, 2160}, {0, 0, 3840, 2160}, true});
  change_scale(context, 144, display);
  EXPECT_DOUBLE_EQ(state->scale, 0.9375);
  EXPECT_EQ(state->background.size(), std::size_t{1440} * 960 * 4);

  change_scale(context, 9.6, platform::DisplayInfo{});
  EXPECT_DOUBLE_EQ(state->scale, 0.0625);
  EXPECT_EQ(state->background.size(), std::size_t{96} * 64 * 4);
}

TEST(WindowGeometryTest, ScalesFitTheWorkAreaAndPositionsStayInside) {
  const auto monitor = [](std::int32_t w, std::int32_t h) {
    return platform::Monitor{{0, 0, w, h}, {0, 0, w, h}, true};
  };
  const auto big = monitor(3840, 2160);
  const auto small = monitor(800, 600);
  const auto tiny = monitor(100, 100);
  EXPECT_DOUBLE_EQ(fitted_scale(96, &big), 0.625);
  EXPECT_DOUBLE_EQ(fitted_scale(144, &big), 0.9375);
  EXPECT_DOUBLE_EQ(fitted_scale(144, &small), (800.0 - 32) / 1536);
  EXPECT_DOUBLE_EQ(fitted_scale(144, &tiny), 0.1);
  EXPECT_DOUBLE_EQ(fitted_scale(9.6, nullptr), 0.0625);

  EXPECT_EQ(centred_in({0, 0, 1920, 1080}, 960, 640), (WindowPosition{480, 220}));
  EXPECT_EQ(centred_in({100, 50, 600, 450}, 960, 640), (WindowPosition{100, 50})) << "larger than the area";
  EXPECT_EQ(keep_inside(5000, 0, 1920, 960), 960);
  EXPECT_EQ(keep_inside(-10, 0, 1920, 960), 0);
}

}  // namespace
}  // namespace qv
