// Game windows: titles, owners as the X server knows them, window-manager
// lists, and X servers that drop the connection, never answer, or are held by
// another client's grab.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <future>
#include <initializer_list>
#include <optional>
#include <string_view>
#include <thread>

#include <gtest/gtest.h>

#include "core/foundations/processes.hpp"
#include "foundations/processes_test_fixture.hpp"
#include "platform/x11_windows.hpp"
#include "support/child_process.hpp"
#include "support/temp_dir.hpp"
#include "support/x_standin.hpp"
#include "support/xvfb.hpp"

namespace qv {
namespace {

using testing::FakeGame;
using testing::GameWindows;
using testing::kClosedBySignal;
using testing::kClosedByWindow;
using testing::pids_of;
using testing::sorted;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr auto kScanDeadline = platform::kWindowScanDeadline;
// Room for a loaded machine on top of a deadline.
constexpr auto kSlack = std::chrono::milliseconds(1500);

// The launcher as it is installed: inside the client root. Waits for the file
// `go`, closes the client's game and reports what it closed.
QV_CHILD_MODE(close_game_from_inside_the_client) {
  const fs::path root = args.at(0);
  const fs::path go = args.at(1);
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (!fs::exists(go) && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  auto closed = close_client_game(root);
  test::child_say(closed ? "closed " + std::to_string(closed->size()) : "error " + closed.error().to_string());
  return 0;
}

// Reports whether a window on the display belongs to process `args[0]`.
QV_CHILD_MODE(find_window_owner) {
  const auto pid = static_cast<std::uint32_t>(std::stoul(args.at(0)));
  auto windows = platform::list_top_level_windows();
  if (!windows) {
    test::child_say("error " + windows.error().to_string());
    return 0;
  }
  bool known = false;
  for (const auto& window : *windows) known = known || window.owner_pid == pid;
  test::child_say(known ? "owner known" : "owner unknown");
  return 0;
}

// The first line of `child` that starts with one of `prefixes`.
std::string answer_of(test::Child& child, std::initializer_list<std::string_view> prefixes) {
  while (auto line = child.read_line(std::chrono::seconds(20))) {
    for (auto prefix : prefixes) {
      if (line->starts_with(prefix)) return *line;
    }
  }
  return "no answer";
}

TEST_F(GameWindows, FindsGamesByExactWindowTitleOnce) {
  FakeGame titled(game("bin/game.bin"), {"--fake-window"});
  FakeGame both(game("zEntry.exe"), {"--fake-window"});
  FakeGame wrong_case(game("bin/other.bin"), {"--fake-window=qv online"});
  FakeGame longer(game("bin/third.bin"), {"--fake-window=QV Online "});
  FakeGame elsewhere(outside("copy/game.bin"), {"--fake-window"});

  auto found = find_client_game_processes(root_);
  ASSERT_TRUE(found) << found.error().to_string();
  EXPECT_EQ(pids_of(*found), sorted({titled.pid(), both.pid()}));
}

TEST_F(GameWindows, WindowsBelongToTheProcessThatMadeThemNotToTheOneTheyName) {
  // What a window declares as its process does not count, only which
  // process's connection made it. Games inside the client declaring nonsense
  // are still found; windows from outside naming a program inside the client,
  // a kernel thread, a thread or the launcher itself neither list those nor
  // stop the search.
  FakeGame zero(game("bin/zero.bin"), {"--fake-window", "--fake-declared-pid=0"});
  FakeGame huge(game("bin/huge.bin"), {"--fake-window", "--fake-declared-pid=4294967295"});
  FakeGame helper(game("bin/helper"));
  std::promise<pid_t> tid;
  std::promise<void> release;
  std::thread worker([&] {
    tid.set_value(::gettid());
    release.get_future().wait();
  });
  const std::string thread_id = std::to_string(tid.get_future().get());
  const fs::path forger = outside("forger/forge");
  FakeGame names_helper(forger, {"--fake-window", "--fake-declared-pid=" + std::to_string(helper.pid())});
  FakeGame names_kernel_thread(forger, {"--fake-window", "--fake-declared-pid=2"});
  FakeGame names_thread(forger, {"--fake-window", "--fake-declared-pid=" + thread_id});
  FakeGame names_us(forger, {"--fake-window", "--fake-declared-pid=" + std::to_string(::getpid())});

  auto found = find_client_game_processes(root_);
  release.set_value();
  worker.join();
  ASSERT_TRUE(found) << found.error().to_string();
  EXPECT_EQ(pids_of(*found), sorted({zero.pid(), huge.pid()}));
  EXPECT_TRUE(helper.running());
}

TEST_F(GameWindows, LauncherInsideTheClientNeverClosesItself) {
  // Installed in the client root, the launcher's own program passes the
  // inside-the-client test: a window naming its process must not make it
  // close (and finally kill) itself.
  const fs::path launcher = root_ / "Launcher.exe";
  fs::copy_file("/proc/self/exe", launcher);
  fs::permissions(launcher, fs::perms(0755));
  const fs::path go = dir_.path() / "go";
  test::Child child = test::Child::start_mode_command(
      {launcher.string(), test::child_mode_argument("close_game_from_inside_the_client"), root_.string(), go.string()});
  FakeGame forger(outside("forger/forge"), {"--fake-window", "--fake-declared-pid=" + std::to_string(child.pid())});
  test::write_file(go, "");

  EXPECT_EQ(answer_of(child, {"closed", "error"}), "closed 0");
  const test::ChildExit exit = child.wait();
  EXPECT_EQ(exit.exit_code, 0) << "signal " << exit.signal;
  EXPECT_TRUE(forger.running());
}

TEST_F(GameWindows, OwnersFromAServerCountingProcessesInAnotherNamespaceAreNotTrusted) {
  if (test::run_child({"unshare", "-p", "-f", "true"}).exit_code != 0) {
    GTEST_SKIP() << "unshare -p is not permitted here";
  }
  // The server names processes by their ids in its own pid namespace; in a
  // namespace of its own the launcher would take them for its neighbours.
  FakeGame titled(game("bin/game.bin"), {"--fake-window"});
  const std::string self = fs::read_symlink("/proc/self/exe").string();
  const std::vector<std::string> mode{self, test::child_mode_argument("find_window_owner"),
                                      std::to_string(titled.pid())};
  test::Child here = test::Child::start_mode_command(mode);
  EXPECT_EQ(answer_of(here, {"owner", "error"}), "owner known");
  std::vector<std::string> namespaced{"unshare", "-p", "-f"};
  namespaced.insert(namespaced.end(), mode.begin(), mode.end());
  test::Child apart = test::Child::start_mode_command(namespaced);
  EXPECT_EQ(answer_of(apart, {"owner", "error"}), "owner unknown");
}

TEST_F(GameWindows, CloseAsksTheWindowFirst) {
  FakeGame titled(game("bin/game.bin"), {"--fake-window"});

  expect_closed_on_request(titled, kClosedByWindow);
}

TEST_F(GameWindows, WindowManagerClientListIsPreferred) {
  // Under a window manager the root's children are its frames; its client
  // list names the real top-level windows.
  FakeGame unlisted(game("bin/unlisted.bin"), {"--fake-window"});
  FakeGame listed(game("bin/listed.bin"), {"--fake-window", "--fake-client-list"});

  auto found = find_client_game_processes(root_);
  ASSERT_TRUE(found) << found.error().to_string();
  EXPECT_EQ(pids_of(*found), std::vector<std::uint32_t>{listed.pid()});
  // Closing it also takes the list away again for the other tests.
  expect_closed_on_request(listed, kClosedByWindow);
}

TEST_F(GameWindows, ClientListNamingNoLiveWindowFallsBackToTheRootsChildren) {
  // What a killed window manager leaves: a list of windows long gone.
  FakeGame stale(outside("wm/manager"), {"--fake-window=manager", "--fake-stale-client-list"});
  FakeGame titled(game("bin/game.bin"), {"--fake-window"});

  auto found = find_client_game_processes(root_);
  ASSERT_TRUE(found) << found.error().to_string();
  EXPECT_EQ(pids_of(*found), std::vector<std::uint32_t>{titled.pid()});
  stale.stop();
}

TEST_F(GameWindows, MisbehavingXServerEndsOnlyTheWindowHalfWithinItsDeadline) {
  // One game is known by its name, the other only by its window: whatever
  // the X server does, the search returns in time and finds the first.
  FakeGame named(game("zEntry.exe"), {"--fake-window"});
  FakeGame titled(game("bin/game.bin"), {"--fake-window"});
  const std::string real = *server_->display();
  struct Case {
    const char* name;
    std::function<std::unique_ptr<testing::XStandIn>()> stand_in;  // none: the real server
    std::vector<std::string> grabber;                               // a client that grabs it
  };
  const Case cases[] = {
      {"never answers", [] { return std::make_unique<testing::XStandIn>(); }, {}},
      {"drops after the set-up",
       [&] { return std::make_unique<testing::XStandIn>(testing::XStandIn::Relay{real, 0}); },
       {}},
      {"drops amid the scan",
       [&] { return std::make_unique<testing::XStandIn>(testing::XStandIn::Relay{real, 200}); },
       {}},
      {"held by a grab", nullptr, {"--fake-window=grab", "--fake-grab-server"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto stand_in = c.stand_in ? c.stand_in() : nullptr;
    if (stand_in) {
      ASSERT_TRUE(stand_in->display()) << stand_in->reason();
      ::setenv("DISPLAY", stand_in->display()->c_str(), 1);
    }
    std::optional<FakeGame> grabber;
    if (!c.grabber.empty()) grabber.emplace(outside("grabber/grab"), c.grabber);

    const auto start = Clock::now();
    auto found = find_client_game_processes(root_);
    EXPECT_LT(Clock::now() - start, kScanDeadline + kSlack);
    ASSERT_TRUE(found) << found.error().to_string();
    EXPECT_EQ(pids_of(*found), std::vector<std::uint32_t>{named.pid()});
    if (stand_in) {
      EXPECT_GE(stand_in->connections(), 1u);
    }
    ::setenv("DISPLAY", real.c_str(), 1);
  }

  // The close asks no window there; the display named in the game's own
  // environment (the real one) then has its window.
  testing::XStandIn silent;
  ASSERT_TRUE(silent.display()) << silent.reason();
  ::setenv("DISPLAY", silent.display()->c_str(), 1);
  const auto start = Clock::now();
  auto closed = close_client_game(root_);
  EXPECT_LT(Clock::now() - start, 2 * kScanDeadline + kSlack);
  ASSERT_TRUE(closed) << closed.error().to_string();
  EXPECT_EQ(pids_of(*closed), std::vector<std::uint32_t>{named.pid()});
  const int status = named.reap();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == kClosedByWindow) << status;
}

// The number of entries of a /proc/self folder.
std::size_t entries_of(const char* folder) {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(folder)) ++count;
  return count;
}

TEST_F(GameWindows, WindowLeftBehindByAnExitedProcessBelongsToNoNewcomerUnderItsId) {
  // A program makes the game's window, leaves its connection to a child and
  // exits; its id is then reused by an unrelated program of the client. The
  // server still names that id as the window's maker.
  const fs::path handed = dir_.path() / "handed-over";
  std::optional<std::uint32_t> keeper;
  struct StopKeeper {
    std::optional<std::uint32_t>& pid;
    ~StopKeeper() {
      if (pid) ::kill(static_cast<pid_t>(*pid), SIGKILL);
    }
  } stop_keeper{keeper};
  std::uint32_t maker_pid = 0;
  {
    FakeGame maker(outside("maker/game"), {"--fake-window", "--fake-hand-over=" + handed.string()});
    keeper = static_cast<std::uint32_t>(std::stoul(test::read_file(handed)));
    maker_pid = maker.pid();
    const int status = maker.reap();
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  std::string reason;
  auto newcomer = FakeGame::start_as(maker_pid, game("LauncherUpdater.exe"), {}, reason);
  if (!newcomer) GTEST_SKIP() << reason;

  auto found = find_client_game_processes(root_);
  ASSERT_TRUE(found) << found.error().to_string();
  EXPECT_TRUE(found->empty()) << "the newcomer was taken for the window's owner";
  auto closed = close_client_game(root_);
  ASSERT_TRUE(closed) << closed.error().to_string();
  EXPECT_TRUE(closed->empty());
  EXPECT_TRUE(newcomer->running());
}

TEST_F(GameWindows, GameWhoseWindowIgnoresTheRequestGetsTheSignalBeforeTheKill) {
  FakeGame deaf(game("bin/game.bin"), {"--fake-window", "--fake-ignore-window-close"});

  const auto start = Clock::now();
  auto closed = close_client_game(root_);
  const auto elapsed = Clock::now() - start;
  ASSERT_TRUE(closed) << closed.error().to_string();
  EXPECT_EQ(pids_of(*closed), std::vector<std::uint32_t>{deaf.pid()});
  const int status = deaf.reap();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == kClosedBySignal) << status;
  EXPECT_GE(elapsed, std::chrono::seconds(5));
  EXPECT_LT(elapsed, std::chrono::seconds(7) + kSlack);
}

// An X authority file with one cookie for any display of any host, as
// Xvfb reads it at start.
std::string wild_cookie_file(const std::string& cookie) {
  const auto counted = [](std::string_view field) {
    std::string out;
    out += static_cast<char>(field.size() >> 8);
    out += static_cast<char>(field.size() & 0xFF);
    out += field;
    return out;
  };
  return std::string("\xFF\xFF", 2) + counted("") + counted("") + counted("MIT-MAGIC-COOKIE-1") + counted(cookie);
}

TEST_F(GameWindows, GameShowingItsWindowOnAnotherDisplayIsAskedThere) {
  // The game's display lets in only clients with its cookie, which the
  // game's own environment names; the launcher's display is another one, or
  // none.
  const fs::path authority = test::write_file(dir_.path() / "game.Xauthority", wild_cookie_file("0123456789abcdef"));
  testing::Xvfb game_display("320x240x24", {"-auth", authority.string()});
  ASSERT_TRUE(game_display.display()) << game_display.reason();
  const std::string launcher_display = *server_->display();
  for (const bool launcher_has_display : {false, true}) {
    SCOPED_TRACE(launcher_has_display ? "the launcher's display is another" : "the launcher has no display");
    ::setenv("DISPLAY", game_display.display()->c_str(), 1);
    ::setenv("XAUTHORITY", authority.c_str(), 1);
    FakeGame titled(game("zEntry.exe"), {"--fake-window"});
    ::unsetenv("XAUTHORITY");
    if (launcher_has_display) {
      ::setenv("DISPLAY", launcher_display.c_str(), 1);
    } else {
      ::unsetenv("DISPLAY");
    }
    expect_closed_on_request(titled, kClosedByWindow);
  }
}

TEST_F(GameWindows, AuthorityFileThatWouldBlockIsNotWaitedFor) {
  // XAUTHORITY names a FIFO that nobody writes: every scan still answers,
  // and none leaves a thread or a descriptor behind.
  FakeGame titled(game("bin/game.bin"), {"--fake-window"});
  const fs::path fifo = dir_.path() / "authority.fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  ::setenv("XAUTHORITY", fifo.c_str(), 1);
  const std::size_t threads = entries_of("/proc/self/task");
  const std::size_t descriptors = entries_of("/proc/self/fd");
  for (int i = 0; i < 4; ++i) {
    const auto start = Clock::now();
    auto found = find_client_game_processes(root_);
    ASSERT_TRUE(found) << found.error().to_string();
    EXPECT_EQ(pids_of(*found), std::vector<std::uint32_t>{titled.pid()});
    EXPECT_LT(Clock::now() - start, kScanDeadline);
  }
  // A conversation's thread ends just after it has answered.
  const auto deadline = Clock::now() + std::chrono::seconds(2);
  while (entries_of("/proc/self/task") > threads && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(entries_of("/proc/self/task"), threads);
  EXPECT_EQ(entries_of("/proc/self/fd"), descriptors);
  ::unsetenv("XAUTHORITY");
}

}  // namespace
}  // namespace qv
