// The real Launcher.exe, end to end: its window on a private X server against
// a release served on loopback, driven as a player would (pointer and keys
// through XTEST) and read from outside (the window title and its pixels), with
// the real fake game, a stand-in xdg-open that records the links it is given,
// and the launcher stand-in as the updater.
//
// With QV_E2E_SCREENSHOTS=FOLDER the tests also write the window of each
// state as a PNG into FOLDER (that is how docs/ gets its pictures).
#include <X11/keysym.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/formats/envelope.hpp"
#include "core/foundations/config.hpp"
#include "core/foundations/fileops.hpp"
#include "core/foundations/network.hpp"
#include "core/install/installed_state.hpp"
#include "core/install/check.hpp"
#include "desktop/png_codec.hpp"
#include "desktop/preview.hpp"
#include "desktop/theme.hpp"
#include "support/demo_client.hpp"
#include "support/launcher_window.hpp"
#include "support/loopback_server.hpp"
#include "support/private_display.hpp"
#include "support/temp_dir.hpp"
#include "support/tree_snapshot.hpp"
#include "support/window_manager.hpp"

namespace qv {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::LauncherWindow;
using test::TempDir;

constexpr std::string_view kTitle = "QV Velmorane — ";
constexpr std::string_view kStartupStatus = "กำลังตรวจรายการอัปเดต...";
constexpr std::string_view kDownloadStage = "ดาวน์โหลดแพตช์";
constexpr std::string_view kInstallStage = "แตกไฟล์และติดตั้งแพตช์";
constexpr std::string_view kDone = "เสร็จสมบูรณ์";
constexpr std::string_view kGameClosed = "ปิดเกมเรียบร้อย";

constexpr std::int32_t kPrimary = 0;
constexpr std::int32_t kStopGame = 2;
constexpr std::int32_t kRegister = 3;
constexpr std::int32_t kMinimise = 6;

// What a compositing manager owns while it runs, on screen 0.
constexpr const char* kCompositorSelection = "_NET_WM_CM_S0";

std::string title(std::string_view status) { return std::string(kTitle) + std::string(status); }

bool starts_with(std::string_view text, std::string_view prefix) { return text.starts_with(prefix); }

// The percent of a title "QV Velmorane — ดาวน์โหลดแพตช์ • {detail} • {N}%".
std::optional<int> download_percent(std::string_view t) {
  const std::string prefix = fmt::format("{}{} • ", kTitle, kDownloadStage);
  const std::string_view bullet = " • ";
  if (!t.starts_with(prefix) || !t.ends_with("%")) return std::nullopt;
  const auto at = t.rfind(bullet);
  if (at == std::string_view::npos || at + bullet.size() < prefix.size()) return std::nullopt;
  const std::string_view digits = t.substr(at + bullet.size(), t.size() - at - bullet.size() - 1);
  int value = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (ec != std::errc() || end != digits.data() + digits.size() || digits.empty()) return std::nullopt;
  return value;
}

// The centre of a target's button, in base pixels.
std::pair<std::int32_t, std::int32_t> centre(std::int32_t target) {
  const Rect& r = TARGETS[static_cast<std::size_t>(target)].button;
  return {(r.left + r.right) / 2, (r.top + r.bottom) / 2};
}

void click_target(LauncherWindow& launcher, std::int32_t target) {
  const auto [x, y] = centre(target);
  launcher.click(x, y);
}

// A check and an install need the engine; a build whose check is still the
// refusing stand-in answers a no-op discard with its refusal.
bool engine_in_build() {
  ClientConfig config;
  config.retain_patch_artifacts = true;
  return discard_check(config, PreparedCheck{}).has_value();
}

// A launcher without its window writes no render preview.
bool window_in_build() {
  static const bool present = [] {
    TempDir dir;
    const auto ended = test::run_child({QV_LAUNCHER_EXE, "--render-preview", (dir / "probe.png").string()});
    return ended.exit_code == 0 && fs::exists(dir / "probe.png");
  }();
  return present;
}

// Writes the window's pixels as a PNG into QV_E2E_SCREENSHOTS, when set.
void screenshot(LauncherWindow& launcher, const std::string& name) {
  const char* folder = std::getenv("QV_E2E_SCREENSHOTS");
  if (folder == nullptr || *folder == '\0') return;
  const auto frame = launcher.frame();
  ASSERT_FALSE(frame.bgra.empty()) << "no pixels for " << name;
  const auto rgba = to_straight_rgba(frame.bgra);
  auto png = encode_png(rgba, static_cast<std::uint32_t>(frame.width), static_cast<std::uint32_t>(frame.height));
  ASSERT_TRUE(png) << png.error().to_string();
  ASSERT_TRUE(write_file_atomic(fs::path(folder) / (name + ".png"), *png));
}

bool wait_for_file(const fs::path& path, std::chrono::milliseconds timeout = 20s) {
  const auto end = Clock::now() + timeout;
  while (!fs::exists(path)) {
    if (Clock::now() >= end) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

std::vector<std::string> lines_of(const fs::path& path) {
  std::vector<std::string> out;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// Whether two files hold the same bytes (programs: too long to print).
bool same_bytes(const fs::path& a, const fs::path& b) { return test::read_file(a) == test::read_file(b); }

// The transaction folders a client holds.
std::vector<fs::path> transactions(const fs::path& root) {
  std::vector<fs::path> out;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(root / ".launcher/transactions", ec)) out.push_back(entry.path());
  return out;
}

// One launcher and what it runs against: the demo client with release 2
// served on loopback, a stand-in xdg-open on PATH recording into links.txt,
// and a fake game that tells where and how it was started. A compositing
// manager runs (its selection is owned), as on most desktops, so the window
// keeps every pixel of its frames and the screenshots show them.
class LauncherEndToEnd : public test::PrivateDisplayTest {
 protected:
  static void SetUpTestSuite() { start_display("1920x1080x24"); }
  static void TearDownTestSuite() { stop_display(); }

  void SetUp() override {
    PrivateDisplayTest::SetUp();
    if (IsSkipped()) return;
    if (!window_in_build()) GTEST_SKIP() << "Launcher.exe has no window in this build";
    if (!engine_in_build()) GTEST_SKIP() << "check and apply are not in this build";
    if (composited_) client().own_selection(kCompositorSelection);
    demo_.emplace(dir_.path(), test::DemoOptions{.game = QV_FAKE_GAME,
                                              .game_args = {"--fake-window", "--fake-record=" + game_record().string(),
                                                            "--fake-ready=" + game_ready().string(),
                                                            "--fake-exit-after=120000"},
                                              .data_bytes = 8u << 20});
    server_.serve_folder(demo_->publish_dir());
    config_ = demo_->write_config(server_.url("/"));
    test::write_file(dir_ / "bin/xdg-open", fmt::format("#!/bin/sh\nprintf '%s\\n' \"$*\" >> '{}'\n", links().string()));
    fs::permissions(dir_ / "bin/xdg-open", fs::perms(0755));
  }

  void TearDown() override {
    // A game the launcher started is nobody's child here; end it.
    if (demo_ && fs::exists(game_record())) {
      const auto pid = nlohmann::json::parse(test::read_file(game_record())).at("pid").get<pid_t>();
      // Only while that id still runs the client's game, never a process
      // that took the id since.
      std::error_code ec;
      if (fs::read_symlink(fmt::format("/proc/{}/exe", pid), ec) == demo_->root() / test::kDemoGame) {
        ::kill(pid, SIGKILL);
      }
    }
    PrivateDisplayTest::TearDown();
  }

  fs::path game_record() const { return dir_ / "game.json"; }
  fs::path game_ready() const { return dir_ / "game-ready"; }
  fs::path links() const { return dir_ / "links.txt"; }
  const test::DemoClient& demo() const { return *demo_; }

  test::ChildEnv env() const {
    const char* path = std::getenv("PATH");
    return {{"PATH", (dir_ / "bin").string() + ":" + (path != nullptr ? path : "/usr/bin:/bin")}};
  }

  std::unique_ptr<LauncherWindow> start(std::vector<std::string> argv = {}, test::ChildEnv extra = {}) {
    if (argv.empty()) argv = {QV_LAUNCHER_EXE, "--config", config_.string()};
    auto e = env();
    e.insert(e.end(), extra.begin(), extra.end());
    auto launcher = std::make_unique<LauncherWindow>(client(), display_name(), argv, e);
    EXPECT_NE(launcher->window(), 0u) << "no launcher window appeared";
    return launcher;
  }

  // The data object's download held half way for `stall`.
  void stall_data(std::chrono::milliseconds stall) {
    const auto& files = demo().new_manifest().files;
    const auto& data = *std::find_if(files.begin(), files.end(), [](const FileEntry& f) { return f.path == test::kDemoData; });
    test::Answer answer;
    answer.stall_after = data.object_bytes / 2;
    answer.stall_for = stall;
    server_.script("/" + data.object, answer);
  }

  // The status a finished check of release 2 shows: three files to download.
  std::string release_status() const {
    std::uint64_t bytes = 0;
    std::size_t count = 0;
    const auto& old_files = demo().old_manifest().files;
    for (const auto& file : demo().new_manifest().files) {
      const bool same = std::any_of(old_files.begin(), old_files.end(), [&](const FileEntry& o) {
        return o.path == file.path && o.digest == file.digest;
      });
      if (same) continue;
      bytes += file.object_bytes;
      ++count;
    }
    return fmt::format("Release 2 • {} files • {:.1f} MiB", count, static_cast<double>(bytes) / (1 << 20));
  }

  // Waits for the start-up check to hold release 2.
  void expect_release_held(LauncherWindow& launcher) {
    const std::string want = title(release_status());
    EXPECT_PRED2(starts_with, launcher.wait_title([&](std::string_view t) { return t.starts_with(want); }), want);
  }

  bool composited_ = true;
  TempDir dir_;
  std::optional<test::DemoClient> demo_;
  test::LoopbackServer server_;
  fs::path config_;
};

// The whole way a player takes: the start-up check finds release 2, PATCH
// downloads and installs it with its progress in the title, the client is
// then exactly release 2, and PLAY starts the game in the client root with
// the release's arguments and closes the launcher.
TEST_F(LauncherEndToEnd, StartupCheckPatchWithProgressAndPlay) {
  test::Answer slow_manifest;
  slow_manifest.stall_after = 0;
  slow_manifest.stall_for = 1500ms;
  server_.script_once("/manifest.qvm", slow_manifest);
  stall_data(2500ms);
  auto launcher = start();
  ASSERT_NE(launcher->window(), 0u);
  EXPECT_EQ(launcher->scale(), 0.625);  // 96 DPI on a large screen
  // The manifest is held back: the window shows the check under way.
  const std::string checking = launcher->wait_title([](std::string_view t) { return t.starts_with(kTitle); });
  EXPECT_PRED2(starts_with, checking, kTitle);
  EXPECT_FALSE(checking.starts_with(title("Release"))) << checking;
  std::this_thread::sleep_for(500ms);
  screenshot(*launcher, "launcher-startup-check");
  expect_release_held(*launcher);
  EXPECT_EQ(demo().client_tree(), demo().old_tree());

  click_target(*launcher, kPrimary);
  // "ดาวน์โหลดแพตช์ • detail • NN%" while the download is held half way.
  const std::string during = launcher->wait_title([&](std::string_view t) {
    const auto percent = download_percent(t);
    return percent && *percent > 0;
  });
  const auto percent = download_percent(during);
  ASSERT_TRUE(percent) << during;
  EXPECT_LT(*percent, 100) << during;
  screenshot(*launcher, "launcher-patching");

  const std::string done = title(fmt::format("{} • 100%", kDone));
  EXPECT_EQ(launcher->wait_title([&](std::string_view t) { return t == done; }), done);
  EXPECT_EQ(demo().client_tree(), demo().new_tree());
  EXPECT_TRUE(transactions(demo().root()).empty());
  // The hover glow over PLAY, for the picture of the ready window.
  const auto [px, py] = centre(kPrimary);
  launcher->hover(px, py);
  std::this_thread::sleep_for(300ms);
  screenshot(*launcher, "launcher-ready");

  click_target(*launcher, kPrimary);
  EXPECT_TRUE(launcher->wait_gone());
  const auto ended = launcher->wait();
  EXPECT_EQ(ended.exit_code, 0) << ended.output;
  ASSERT_TRUE(wait_for_file(game_ready()));
  const auto record = nlohmann::json::parse(test::read_file(game_record()));
  EXPECT_EQ(record.at("cwd"), demo().root().string());
  EXPECT_EQ(record.at("args").get<std::vector<std::string>>(), demo().new_manifest().game_args);
  EXPECT_FALSE(fs::exists(demo().root() / ".launcher/client.lock"));
}

// STOP GAME closes the client's running game: politely through its window,
// or, when the game ignores that, by force after five seconds; the window
// shows the closed status after.
TEST_F(LauncherEndToEnd, StopGameClosesTheRunningGame) {
  struct Case {
    const char* name;
    bool ignores_close;
    int exit_code;
    int signal;
  };
  for (const Case& c : {Case{"polite", false, 10, 0}, Case{"forced", true, -1, SIGKILL}}) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> argv = {(demo().root() / test::kDemoGame).string(), "--fake-window",
                                     "--fake-ready=" + (dir_ / c.name).string()};
    if (c.ignores_close) argv.push_back("--fake-ignore-close");
    auto game = test::Child::start(argv, {{"DISPLAY", display_name()}});
    ASSERT_TRUE(wait_for_file(dir_ / c.name));

    auto launcher = start();
    ASSERT_NE(launcher->window(), 0u);
    expect_release_held(*launcher);
    const auto clicked = Clock::now();
    click_target(*launcher, kStopGame);
    if (c.ignores_close) {
      // The closing stage is drawn at once; the title follows the job's
      // messages, which come when the game is gone.
      std::this_thread::sleep_for(1s);
      screenshot(*launcher, "launcher-game-running");
    }
    const std::string closed = title(fmt::format("{} • 100%", kGameClosed));
    EXPECT_EQ(launcher->wait_title([&](std::string_view t) { return t == closed; }, 20s), closed);
    const auto ended = game.wait();
    EXPECT_EQ(ended.exit_code, c.exit_code);
    EXPECT_EQ(ended.signal, c.signal);
    if (c.ignores_close) {
      EXPECT_GE(Clock::now() - clicked, 4500ms) << "killed before the wait";
    }

    // Escape while idle closes the window, discarding the held check.
    launcher->key(XK_Escape);
    EXPECT_TRUE(launcher->wait_gone());
    EXPECT_EQ(launcher->wait().exit_code, 0);
    EXPECT_TRUE(transactions(demo().root()).empty());
  }
}

// The three link targets open the held release's links through xdg-open,
// each with the link as its one argument, in the order used: the first from
// the keyboard (Tab to REGISTER, Enter), the others by clicks.
TEST_F(LauncherEndToEnd, LinksOpenThroughXdgOpen) {
  auto launcher = start();
  ASSERT_NE(launcher->window(), 0u);
  expect_release_held(*launcher);
  const std::vector<std::string> expected = {test::kDemoRegisterLink, test::kDemoTopupLink, test::kDemoDiscordLink};
  for (std::size_t i = 0; i < expected.size(); ++i) {
    if (i == 0) {
      for (int tab = 0; tab <= kRegister; ++tab) launcher->key(XK_Tab);
      launcher->key(XK_Return);
    } else {
      click_target(*launcher, kRegister + static_cast<std::int32_t>(i));
    }
    // Each xdg-open runs on its own; wait for one before the next click so
    // the file keeps the click order.
    const auto end = Clock::now() + 10s;
    while (lines_of(links()).size() < i + 1 && Clock::now() < end) std::this_thread::sleep_for(20ms);
  }
  EXPECT_EQ(lines_of(links()), expected);
  EXPECT_FALSE(fs::exists(demo().root() / ".launcher/state/errors.txt"));
  launcher->request_close();
  EXPECT_TRUE(launcher->wait_gone());
  EXPECT_EQ(launcher->wait().exit_code, 0);
}

// Escape or a close request in the middle of a patch cancels it: the window
// stays, the job ends with its failure recorded, and the client is release 1
// untouched (or wholly release 2), never a mixture. A new patch then starts
// with a fresh cancel flag and goes through.
TEST_F(LauncherEndToEnd, CancellingAPatchLeavesTheClientWhole) {
  for (const bool by_escape : {true, false}) {
    SCOPED_TRACE(by_escape ? "escape" : "close request");
    // The server stalls the body for longer than a cancel may take: the
    // download must see the flag while nothing arrives.
    constexpr auto kStall = 10s;
    stall_data(kStall);
    auto launcher = start();
    ASSERT_NE(launcher->window(), 0u);
    expect_release_held(*launcher);
    click_target(*launcher, kPrimary);
    const std::string prefix = fmt::format("{}{}", kTitle, kDownloadStage);
    EXPECT_PRED2(starts_with, launcher->wait_title([&](std::string_view t) { return t.starts_with(prefix); }), prefix);
    const auto log = demo().root() / ".launcher/state/errors.txt";
    const auto logged_before = lines_of(log).size();
    const auto cancelled_at = Clock::now();
    if (by_escape) {
      launcher->key(XK_Escape);
    } else {
      launcher->request_close();
    }
    // The job's failure is recorded under "launcher worker" when it arrives.
    const auto end = Clock::now() + 5s;
    auto worker_failed = [&] {
      const auto lines = lines_of(log);
      return lines.size() > logged_before &&
             std::any_of(lines.begin() + static_cast<std::ptrdiff_t>(logged_before), lines.end(),
                         [](const std::string& l) { return l.ends_with(" launcher worker]"); });
    };
    while (!worker_failed() && Clock::now() < end) std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(worker_failed()) << test::read_file(log);
    EXPECT_NE(test::read_file(log).find("cancelled"), std::string::npos) << test::read_file(log);
    EXPECT_LT(Clock::now() - cancelled_at, 5s) << "the download was not cancelled during the stall";
    EXPECT_FALSE(launcher->gone());
    const auto tree = demo().client_tree();
    EXPECT_TRUE(tree == demo().old_tree() || tree == demo().new_tree());

    // Nothing held after a failure: PATCH checks again, then installs.
    server_.clear_scripts();
    click_target(*launcher, kPrimary);
    expect_release_held(*launcher);
    click_target(*launcher, kPrimary);
    EXPECT_PRED2(starts_with, launcher->wait_title([&](std::string_view t) { return t.starts_with(title(kDone)); }),
                 title(kDone));
    EXPECT_EQ(demo().client_tree(), demo().new_tree());
    launcher->key(XK_Escape);
    EXPECT_TRUE(launcher->wait_gone());
    EXPECT_EQ(launcher->wait().exit_code, 0);
    // Back to release 1 for the next case.
    demo_.reset();
    fs::remove_all(dir_ / "client");
    fs::remove_all(dir_ / "publish");
    server_.clear_requests();
    demo_.emplace(dir_.path(), test::DemoOptions{.game = QV_FAKE_GAME, .game_args = {}, .data_bytes = 8u << 20});
    config_ = demo_->write_config(server_.url("/"));
  }
}

// Escape while the files are being installed: the install either rolls back
// or completes, and the client is one release or the other, never a mixture.
TEST_F(LauncherEndToEnd, EscapeDuringTheInstallLeavesOneRelease) {
  // A larger data file keeps the install stage on the screen for a while.
  demo_.reset();
  fs::remove_all(dir_ / "client");
  fs::remove_all(dir_ / "publish");
  demo_.emplace(dir_.path(), test::DemoOptions{.game = QV_FAKE_GAME, .game_args = {}, .data_bytes = 96u << 20});
  config_ = demo_->write_config(server_.url("/"));

  auto launcher = start();
  ASSERT_NE(launcher->window(), 0u);
  expect_release_held(*launcher);
  click_target(*launcher, kPrimary);
  const std::string installing = fmt::format("{}{}", kTitle, kInstallStage);
  const std::string done = title(kDone);
  const std::string seen = launcher->wait_title(
      [&](std::string_view t) { return t.starts_with(installing) || t.starts_with(done); }, 60s);
  if (seen.starts_with(installing)) launcher->key(XK_Escape);
  const auto log = demo().root() / ".launcher/state/errors.txt";
  const auto end = Clock::now() + 60s;
  auto ended = [&] {
    return launcher->title().starts_with(done) || test::read_file(log).find("launcher worker]") != std::string::npos;
  };
  while (!ended() && Clock::now() < end) std::this_thread::sleep_for(20ms);
  ASSERT_TRUE(ended()) << launcher->title();
  EXPECT_FALSE(launcher->gone());
  const auto tree = demo().client_tree();
  EXPECT_TRUE(tree == demo().old_tree() || tree == demo().new_tree());
  RecordProperty("outcome", !seen.starts_with(installing) ? "ended before Escape"
                            : tree == demo().old_tree()   ? "rolled back"
                                                          : "installed");
}

// A newer launcher published beside the release is staged by the start-up
// job, which hands over to the updater (here the launcher stand-in, which
// records how it was started) and closes the window without checking the
// game.
TEST_F(LauncherEndToEnd, StagedSelfUpdateHandsOverToTheUpdater) {
  const fs::path root = demo().root();
  fs::copy_file(QV_LAUNCHER_EXE, root / "Launcher.exe");
  fs::copy_file(QV_STANDIN_V4, root / "LauncherUpdater.exe");
  demo_->publish().write_launcher_update(5, test::file_source(QV_STANDIN_V4));
  const fs::path config = demo().write_config(server_.url("/"), server_.url("/launcher-update.qvm"));
  test::Answer slow;
  slow.stall_after = 0;
  slow.stall_for = 1500ms;
  server_.script_once("/launcher-update.qvm", slow);

  const fs::path record = dir_ / "updater.json";
  auto launcher = start({(root / "Launcher.exe").string()}, {{"QV_STANDIN_RECORD", record.string()}});
  ASSERT_NE(launcher->window(), 0u);
  EXPECT_EQ(launcher->wait_title([](std::string_view t) { return t.starts_with(kTitle); }), title(kStartupStatus));
  const pid_t pid = launcher->pid();
  EXPECT_TRUE(launcher->wait_gone());
  const auto ended = launcher->wait();
  EXPECT_EQ(ended.exit_code, 0) << ended.output;
  ASSERT_TRUE(wait_for_file(record));

  const auto started = nlohmann::json::parse(test::read_file(record));
  const auto folders = transactions(root);
  ASSERT_EQ(folders.size(), 1u);
  EXPECT_EQ(started.at("args").get<std::vector<std::string>>(),
            (std::vector<std::string>{(folders[0] / "Updater.running.exe").string(), "--config", config.string(),
                                      "--transaction", folders[0].filename().string(), "--wait-pid",
                                      std::to_string(pid)}));
  EXPECT_EQ(started.at("cwd"), root.string());
  // The game was not checked: no manifest was asked for, and the client and
  // the launcher itself are as they were until the updater acts.
  for (const auto& request : server_.requests()) EXPECT_NE(request.target, "/manifest.qvm");
  EXPECT_EQ(demo().client_tree(), demo().old_tree());
  EXPECT_TRUE(same_bytes(root / "Launcher.exe", QV_LAUNCHER_EXE));
}

// ---- Under a window manager -------------------------------------------------

// The launcher on a desktop without a compositing manager, under the
// stand-in window manager, which performs the moves it is asked for the way
// common ones do: it grabs the pointer and the keyboard, moves the window
// with the pointer, and takes the button release that ends the move.
class LauncherUnderWindowManager : public LauncherEndToEnd {
 protected:
  LauncherUnderWindowManager() { composited_ = false; }
  void SetUp() override {
    LauncherEndToEnd::SetUp();
    if (IsSkipped()) return;
    wm_ = std::make_unique<testing::StandInWindowManager>(display_name());
  }
  void TearDown() override {
    wm_.reset();
    LauncherEndToEnd::TearDown();
  }

  // The screen position of the base point (x, y) of the launcher's window.
  std::pair<int, int> on_screen(LauncherWindow& launcher, std::int32_t x, std::int32_t y) {
    const auto g = client().geometry(launcher.window());
    if (!g) return {0, 0};
    const double s = launcher.scale();
    return {g->x + static_cast<int>(std::lround(x * s)), g->y + static_cast<int>(std::lround(y * s))};
  }
  std::pair<int, int> position(LauncherWindow& launcher) {
    const auto g = client().geometry(launcher.window());
    return g ? std::pair{g->x, g->y} : std::pair{-1, -1};
  }
  // The first click on the minimise target minimises the window.
  void expect_minimised_by_one_click(LauncherWindow& launcher) {
    click_target(launcher, kMinimise);
    const std::vector<std::uint64_t> once = {launcher.window()};
    EXPECT_TRUE(wm_->wait_for([&](const auto& r) { return r.iconified == once; })) << "the click was lost";
  }

  std::unique_ptr<testing::StandInWindowManager> wm_;
};

// An opaque point of the skin off every target, above the end of the drag
// area: the caption.
constexpr std::int32_t kCaptionX = 768;
constexpr std::int32_t kCaptionY = 420;

// A drag moves the window by the pointer's way, the window manager takes the
// release that ends it, and the first click after it acts.
TEST_F(LauncherUnderWindowManager, ADragMovesTheWindowAndTheNextClickActs) {
  auto launcher = start();
  ASSERT_NE(launcher->window(), 0u);
  const auto before = position(*launcher);
  const auto [x, y] = on_screen(*launcher, kCaptionX, kCaptionY);
  client().pointer_to(x, y);
  client().button(1, true);
  client().pointer_to(x + 10, y + 5);
  ASSERT_TRUE(wm_->wait_for([](const auto& r) { return r.moves_started == 1; })) << "no move was asked for";
  for (int step = 1; step <= 5; ++step) client().pointer_to(x + 10 + 20 * step, y + 5 + 10 * step);
  client().button(1, false);
  ASSERT_TRUE(wm_->wait_for([](const auto& r) { return r.releases_taken == 1; }));
  EXPECT_EQ(position(*launcher), (std::pair{before.first + 110, before.second + 55}));
  EXPECT_EQ(wm_->record().move_requests, 1);
  expect_minimised_by_one_click(*launcher);
}

// A click on the caption without moving asks the window manager for nothing:
// the window stays where it is when the pointer moves on, and nothing holds
// the pointer, so the next click acts.
TEST_F(LauncherUnderWindowManager, AClickOnTheCaptionLeavesTheWindowWhereItIs) {
  auto launcher = start();
  ASSERT_NE(launcher->window(), 0u);
  const auto before = position(*launcher);
  const auto [x, y] = on_screen(*launcher, kCaptionX, kCaptionY);
  client().pointer_to(x, y);
  client().click(1);
  std::this_thread::sleep_for(300ms);
  client().pointer_to(x + 150, y + 80);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(wm_->record().move_requests, 0);
  EXPECT_EQ(position(*launcher), before) << "the window follows the pointer with no button held";
  expect_minimised_by_one_click(*launcher);
}

// Without a compositing manager the window is cut to the pixels of its
// frame that are at least half opaque (the rounded corners and the space
// around the art are no black rectangle); it is whole while one runs, and cut
// again when it stops.
TEST_F(LauncherUnderWindowManager, WithoutACompositorTheWindowIsCutToItsVisiblePixels) {
  auto launcher = start();
  ASSERT_NE(launcher->window(), 0u);
  // No glow shall change the frame between the looks below.
  client().pointer_to(1919, 1079);
  expect_release_held(*launcher);
  const std::uint64_t id = launcher->window();
  const auto g = client().geometry(id);
  ASSERT_TRUE(g);
  const auto cut = [&] { return client().bounding_pixels(id, g->width, g->height); };
  const auto wait = [](const std::function<bool()>& done) {
    const auto end = Clock::now() + 5s;
    while (!done() && Clock::now() < end) std::this_thread::sleep_for(20ms);
    return done();
  };
  ASSERT_TRUE(wait([&] { return client().bounding_shaped(id); }));
  const double s = launcher->scale();
  const auto caption = static_cast<std::size_t>(std::lround(kCaptionY * s)) * static_cast<std::size_t>(g->width) +
                       static_cast<std::size_t>(std::lround(kCaptionX * s));
  EXPECT_FALSE(cut().front()) << "the transparent corner is part of the window";
  EXPECT_TRUE(cut()[caption]);

  client().own_selection(kCompositorSelection);
  ASSERT_TRUE(wait([&] { return !client().bounding_shaped(id); })) << "still cut while a compositor runs";
  // Whole, every pixel of the frame can be read.
  const auto frame = launcher->frame();
  std::vector<bool> visible;
  for (std::size_t i = 3; i < frame.bgra.size(); i += 4) visible.push_back(frame.bgra[i] >= 128);

  client().release_selection(kCompositorSelection);
  EXPECT_TRUE(wait([&] { return cut() == visible; })) << "not cut to the frame's visible pixels again";
}

// The demo tool makes its demo in a new folder of its own inside the one it
// is given, serves a release 2 that the demo client's keys open over
// loopback HTTP, with every object fetchable at its signed size, and removes
// that folder when stopped, with what was written into it meanwhile, and
// nothing else: not the folder it was given, not what a link inside points to.
TEST(DemoRelease, ServesASignedNewerReleaseToItsClientUntilStopped) {
  TempDir dir;
  test::write_file(dir / "mine.txt", "not the demo's\n");
  auto demo = test::Child::start({QV_DEMO_RELEASE, dir.path().string(), "--data-mib", "2"});
  std::map<std::string, std::string> said;
  for (int i = 0; i < 3; ++i) {
    const auto line = demo.read_line(60s);
    ASSERT_TRUE(line) << "the demo did not say where it is";
    const auto blank = line->find(' ');
    said[line->substr(0, blank)] = line->substr(blank + 1);
  }
  auto config = load_config(said.at("config"));
  ASSERT_TRUE(config) << config.error().to_string();
  EXPECT_TRUE(config->allow_loopback_http);
  EXPECT_EQ(config->root, fs::path(said.at("client")));
  EXPECT_EQ(config->manifest_url, said.at("address") + "manifest.qvm");
  EXPECT_EQ(config->root.parent_path().parent_path(), dir.path());

  const CancelFlag cancel;
  const fs::path fetched = dir / "fetched";
  fs::create_directories(fetched);
  ASSERT_TRUE(download_file(config->manifest_url, fetched / "manifest.qvm", std::nullopt, 32u << 20, true, cancel,
                            [](std::uint64_t) {}));
  const auto envelope = test::read_file(fetched / "manifest.qvm");
  auto manifest = open_manifest({reinterpret_cast<const std::uint8_t*>(envelope.data()), envelope.size()},
                                config->public_key, config->manifest_key);
  ASSERT_TRUE(manifest) << manifest.error().to_string();
  EXPECT_EQ(manifest->release, 2u);
  EXPECT_EQ(manifest->game_exe, test::kDemoGame);
  EXPECT_EQ(manifest->links, (Links{test::kDemoRegisterLink, test::kDemoTopupLink, test::kDemoDiscordLink}));
  for (const auto& file : manifest->files) {
    SCOPED_TRACE(file.path);
    EXPECT_TRUE(download_file(config->object_base_url + file.object, fetched / file.object, file.object_bytes,
                              file.object_bytes, true, cancel, [](std::uint64_t) {}));
  }
  const auto state = test::read_file(config->root / kInstalledStateRelative);
  auto installed = open_manifest({reinterpret_cast<const std::uint8_t*>(state.data()), state.size()},
                                 config->public_key, config->manifest_key);
  ASSERT_TRUE(installed) << installed.error().to_string();
  EXPECT_EQ(installed->release, 1u);
  EXPECT_TRUE(fs::is_regular_file(config->root / test::kDemoGame));

  // What a launcher leaves in the client while the demo runs, and a link out.
  test::write_file(config->root / ".launcher/state/errors.txt", "a record\n");
  fs::create_directory_symlink(dir.path(), config->root / "link-out");
  demo.kill(SIGTERM);
  const auto ended = demo.wait();
  EXPECT_EQ(ended.exit_code, 0);
  const fs::path made = config->root.parent_path();
  EXPECT_FALSE(fs::exists(made)) << made;
  EXPECT_TRUE(fs::is_directory(dir.path()));
  EXPECT_EQ(test::read_file(dir / "mine.txt"), "not the demo's\n");
  EXPECT_TRUE(fs::is_regular_file(dir / "fetched/manifest.qvm"));
}

// The whole self-update with the real updater: a launcher of version 3 (the
// stand-in) stages this launcher, published as version 4, and hands over;
// the updater puts it in place of Launcher.exe and starts it; the new
// window answers the health handshake, says so, and once the update has
// settled runs the start-up check, which finds release 2.
TEST_F(LauncherEndToEnd, SelfUpdateFromVersion3BringsUpThisWindow) {
  const fs::path root = demo().root();
  fs::copy_file(QV_STANDIN_V3, root / "Launcher.exe");
  fs::copy_file(QV_UPDATER_EXE, root / "LauncherUpdater.exe");
  demo_->publish().write_launcher_update(4, test::file_source(QV_LAUNCHER_EXE));
  demo().write_config(server_.url("/"), server_.url("/launcher-update.qvm"));

  // The old launcher has no window; the one that appears is the new one.
  auto launcher = start({(root / "Launcher.exe").string()});
  ASSERT_NE(launcher->window(), 0u);
  EXPECT_EQ(launcher->wait().exit_code, 0);
  const std::string want = title(release_status());
  const std::string checked = launcher->wait_title([&](std::string_view t) { return t.starts_with(want); }, 60s);
  EXPECT_PRED2(starts_with, checked, want);
  EXPECT_TRUE(same_bytes(root / "Launcher.exe", QV_LAUNCHER_EXE));
  EXPECT_FALSE(fs::exists(root / ".launcher/state/rejected-update.txt"));

  launcher->key(XK_Escape);
  EXPECT_TRUE(launcher->wait_gone());
}

// Render previews at three scales, with a hover and a progress each: the
// images have the frame's and the button block's sizes, and the report says
// what was drawn.
TEST(LauncherRenderPreview, ImagesAndReportsAtThreeScales) {
  if (!window_in_build()) GTEST_SKIP() << "Launcher.exe has no window in this build";
  struct Case {
    const char* scale;
    double value;
    int hover;
    std::optional<int> progress;
    int width;
    int height;
  };
  const Case cases[] = {
      {"0.625", 0.625, 0, std::nullopt, 960, 640},
      {"1", 1.0, 3, 40, 1536, 1024},
      {"2", 2.0, 7, 100, 3072, 2048},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.scale);
    TempDir dir;
    const fs::path image = dir / "frame.png";
    std::vector<std::string> argv = {QV_LAUNCHER_EXE, "--render-preview", image.string(), "--preview-scale", c.scale,
                                     "--preview-hover", std::to_string(c.hover)};
    if (c.progress) argv.insert(argv.end(), {"--preview-progress", std::to_string(*c.progress)});
    const auto ended = test::run_child(argv, {{"DISPLAY", ""}});
    ASSERT_EQ(ended.exit_code, 0) << ended.output;

    const auto frame_bytes = test::read_file(image);
    auto frame = decode_png({reinterpret_cast<const std::uint8_t*>(frame_bytes.data()), frame_bytes.size()}, 1u << 24);
    ASSERT_TRUE(frame) << frame.error().to_string();
    EXPECT_EQ(frame->width, static_cast<std::uint32_t>(c.width));
    EXPECT_EQ(frame->height, static_cast<std::uint32_t>(c.height));
    const auto buttons_bytes = test::read_file(dir / "frame-buttons.png");
    auto buttons =
        decode_png({reinterpret_cast<const std::uint8_t*>(buttons_bytes.data()), buttons_bytes.size()}, 1u << 24);
    ASSERT_TRUE(buttons) << buttons.error().to_string();
    EXPECT_EQ(buttons->width, static_cast<std::uint32_t>(static_cast<int>(kPreviewCrop.right * c.value) -
                                                         static_cast<int>(kPreviewCrop.left * c.value)));
    EXPECT_EQ(buttons->height, static_cast<std::uint32_t>(static_cast<int>(kPreviewCrop.bottom * c.value) -
                                                          static_cast<int>(kPreviewCrop.top * c.value)));

    const auto report = nlohmann::json::parse(test::read_file(dir / "frame.json"));
    EXPECT_EQ(report.at("width"), c.width);
    EXPECT_EQ(report.at("height"), c.height);
    EXPECT_EQ(report.at("scale"), c.value);
    EXPECT_EQ(report.at("hover"), c.hover);
    EXPECT_EQ(report.at("focus"), -1);
    EXPECT_EQ(report.at("font_metrics").size(), 6u);
    EXPECT_EQ(report.at("ready"), c.progress == 100);
    if (!c.progress) {
      EXPECT_TRUE(report.at("progress").is_null());
    } else {
      const auto& p = report.at("progress");
      EXPECT_EQ(p.at("completed"), *c.progress);
      EXPECT_EQ(p.at("total"), 100);
      EXPECT_EQ(p.at("unit"), "Files");
      EXPECT_EQ(p.at("stage"), *c.progress == 100 ? "Done" : "Validate");
      EXPECT_EQ(p.at("detail"), "jma/001.jma");
    }
  }
}

}  // namespace
}  // namespace qv
