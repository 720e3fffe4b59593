// A real Windows program under Wine: started by launch_game where the kernel
// has no handler for it, found by its name and by its window, and closed
// through its window. The stand-in (tools/fake_game/windows_game.c) is built
// where the MinGW cross-compiler is installed; Wine runs in a prefix of the
// suite's own, made once, and every wait has a deadline, so a Wine that asks
// for something or never starts fails the test instead of holding it.

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/foundations/processes.hpp"
#include "foundations/processes_test_fixture.hpp"
#include "support/child_process.hpp"
#include "support/temp_dir.hpp"

namespace qv {
namespace {

using testing::GameWindows;
using testing::kClosedByWindow;
using testing::listed;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

// The first start of Wine in a new prefix sets it up, which takes seconds,
// more on a loaded machine.
constexpr auto kWineStart = std::chrono::seconds(120);
constexpr const char* kPrefixSetUpTimeout = "300";

// Runs each test's Wine in the suite's prefix, with the environment that
// keeps it from asking for anything: no debugging output, and no installers
// of its optional components.
class WineGames : public GameWindows {
 protected:
  static void SetUpTestSuite() {
    GameWindows::SetUpTestSuite();
#ifdef QV_FAKE_WINDOWS_GAME
    if (test::run_child({"sh", "-c", "command -v wine && command -v wineserver && command -v wineboot"}).exit_code != 0) {
      return;
    }
    prefix_ = new test::TempDir();
    ::setenv("WINEPREFIX", (prefix_->path() / "prefix").c_str(), 1);
    ::setenv("WINEDEBUG", "-all", 1);
    ::setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
    // Without a display, so that no window of its own appears; bounded. The
    // services it leaves running have no display either: they end with it,
    // so that the tests' programs start them anew on the test's display.
    prefix_ready_ =
        test::run_child({"timeout", kPrefixSetUpTimeout, "wineboot", "--init"}, {{"DISPLAY", ""}}).exit_code == 0;
    stop_wine();
#endif
  }

  static void TearDownTestSuite() {
    if (prefix_ != nullptr) {
      stop_wine();
      ::unsetenv("WINEPREFIX");
      ::unsetenv("WINEDEBUG");
      ::unsetenv("WINEDLLOVERRIDES");
      delete prefix_;
      prefix_ = nullptr;
    }
    GameWindows::TearDownTestSuite();
  }

  void SetUp() override {
    GameWindows::SetUp();
    if (IsSkipped()) return;
#ifndef QV_FAKE_WINDOWS_GAME
    GTEST_SKIP() << "no Windows stand-in game: the x86_64-w64-mingw32-gcc cross-compiler is not installed";
#else
    if (prefix_ == nullptr) GTEST_SKIP() << "wine is not installed";
    ASSERT_TRUE(prefix_ready_) << "wineboot could not set up the prefix";
    ::unsetenv("WINELOADER");
#endif
  }

  void TearDown() override {
    // Whatever a failed test left running in the prefix ends with it.
    if (prefix_ != nullptr) stop_wine();
    GameWindows::TearDown();
  }

  // Copies the Windows stand-in into the client.
  fs::path windows_game(const std::string& relative) {
    const fs::path path = root_ / relative;
    fs::create_directories(path.parent_path());
#ifdef QV_FAKE_WINDOWS_GAME
    fs::copy_file(QV_FAKE_WINDOWS_GAME, path);
#endif
    fs::permissions(path, fs::perms(0755));
    return path;
  }

  // Waits until the client's game processes are `count`, and returns them.
  std::vector<ProcessCandidate> wait_for_games(std::size_t count) {
    std::vector<ProcessCandidate> found;
    const auto deadline = Clock::now() + kWineStart;
    while (Clock::now() < deadline) {
      auto attempt = find_client_game_processes(root_);
      EXPECT_TRUE(attempt) << attempt.error().to_string();
      if (!attempt) return {};
      found = *attempt;
      if (found.size() == count) return found;
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return found;
  }

  // Waits until the stand-in's record at `record` reads `text`; false at the
  // deadline.
  static bool wait_for_record(const fs::path& record, const std::string& text) {
    const auto deadline = Clock::now() + kWineStart;
    while (test::read_file(record) != text) {
      if (Clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
  }

  static void stop_wine() { test::run_child({"timeout", "60", "wineserver", "-k"}); }

  static test::TempDir* prefix_;
  static bool prefix_ready_;
};

test::TempDir* WineGames::prefix_ = nullptr;
bool WineGames::prefix_ready_ = false;

TEST_F(WineGames, WindowsGameRunByWineIsFoundByNameAndClosedThroughItsWindow) {
  const fs::path program = windows_game("zEntry.exe");
  const fs::path record = root_ / "run.txt";
  // Run from the client root, where it writes its record.
  test::Child wine = test::Child::start(
      {"sh", "-c", "cd \"$0\" && exec \"$@\"", root_.string(), "wine", program.string(), "--record=run.txt"});
  // Its name is seen at once; its window only once it says so.
  ASSERT_TRUE(wait_for_record(record, "arg:--record=run.txt\nready\n")) << test::read_file(record);

  const auto found = wait_for_games(1);
  ASSERT_EQ(found.size(), 1u) << "the game running under Wine was not found";
  EXPECT_EQ(found[0].image, program);
  EXPECT_EQ(found[0].pid, static_cast<std::uint32_t>(wine.pid()));

  auto closed = close_client_game(root_);
  ASSERT_TRUE(closed) << closed.error().to_string();
  EXPECT_EQ(*closed, found);
  const test::ChildExit exit = wine.wait();
  EXPECT_EQ(exit.exit_code, kClosedByWindow) << "signal " << exit.signal;
  auto again = find_client_game_processes(root_);
  ASSERT_TRUE(again) << again.error().to_string();
  EXPECT_TRUE(again->empty());
}

TEST_F(WineGames, LaunchedWindowsGameIsFoundByItsWindowAndClosedPolitely) {
  // Not named as the game is: only its window tells it.
  const fs::path program = windows_game("bin/QVGame.exe");
  const fs::path record = root_ / "launch.txt";
  auto launched = launch_game(root_, "bin/QVGame.exe", {"--record=launch.txt", "two words", "plain"});
  ASSERT_TRUE(launched) << launched.error().to_string();

  const auto found = wait_for_games(1);
  ASSERT_EQ(listed(found), (std::vector<std::pair<std::uint32_t, fs::path>>{{found.empty() ? 0 : found[0].pid, program}}))
      << "the launched game was not found by its window";
  // Started in the client root with its arguments as given; it notes that
  // it is ready just after showing its window.
  const std::string started = "arg:--record=launch.txt\narg:two words\narg:plain\nready\n";
  EXPECT_TRUE(wait_for_record(record, started)) << test::read_file(record);

  auto closed = close_client_game(root_);
  ASSERT_TRUE(closed) << closed.error().to_string();
  EXPECT_EQ(*closed, found);
  EXPECT_EQ(test::read_file(record), started + "closed by window\n");
  auto again = find_client_game_processes(root_);
  ASSERT_TRUE(again) << again.error().to_string();
  EXPECT_TRUE(again->empty());
}

}  // namespace
}  // namespace qv
