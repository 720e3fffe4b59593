#include "core/foundations/processes.hpp"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "foundations/processes_test_fixture.hpp"
#include "support/temp_dir.hpp"

namespace qv {
namespace {

using testing::FakeGame;
using testing::install_fake_game;
using test::TempDir;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr int kClosedByWindow = 10;
constexpr int kClosedBySignal = 11;

std::vector<std::uint32_t> pids_of(const std::vector<ProcessCandidate>& candidates) {
  std::vector<std::uint32_t> pids;
  for (const auto& c : candidates) pids.push_back(c.pid);
  return pids;
}

std::vector<std::uint32_t> sorted(std::vector<std::uint32_t> pids) {
  std::sort(pids.begin(), pids.end());
  return pids;
}

// A client root with copies of the fake game inside and outside it. The
// sibling folder's name begins with the root's name, so a prefix test on
// text would wrongly take it for inside.
class GameProcesses : public ::testing::Test {
 protected:
  void SetUp() override {
    // Windows are looked at only by the tests that start their own server.
    ::unsetenv("DISPLAY");
    root_ = fs::canonical(dir_.path()) / "client";
    fs::create_directories(root_);
  }

  fs::path game(const std::string& relative) {
    fs::path path = root_ / relative;
    install_fake_game(path);
    return path;
  }
  fs::path outside(const std::string& relative) {
    fs::path path = dir_.path() / relative;
    install_fake_game(path);
    return fs::canonical(path);
  }

  // Closes the client, whose only game is `only`, and expects the game to
  // have ended by itself within the wait in the way `exit_code` tells.
  void expect_closed_on_request(FakeGame& only, int exit_code) {
    auto start = Clock::now();
    auto closed = close_client_game(root_);
    ASSERT_TRUE(closed) << closed.error().to_string();
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(pids_of(*closed), std::vector<std::uint32_t>{only.pid()});
    int status = only.reap();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == exit_code) << status;
  }

  TempDir dir_;
  fs::path root_;
};

TEST(GameFileName, AsciiLettersInAnyCaseOtherBytesExactly) {
  struct Case {
    const char* name;
    bool match;
  };
  for (const auto& c : std::initializer_list<Case>{{"zEntry.exe", true},
                                                   {"ZENTRY.EXE", true},
                                                   {"zentry.exE", true},
                                                   {"zEntry_exe", false},
                                                   {"zEntry.ex", false},
                                                   {"zEntry.exe ", false},
                                                   {"zEntry.exe.bak", false},
                                                   {"", false}}) {
    EXPECT_EQ(is_game_file_name(c.name), c.match) << c.name;
  }
}

TEST_F(GameProcesses, FindsGamesByFileNameInsideTheRootOnly) {
  FakeGame top(game("zEntry.exe"));
  FakeGame nested(game("bin/ZENTRY.EXE"));
  FakeGame other_name(game("bin/launcher-helper"));
  FakeGame sibling(outside("client-old/zEntry.exe"));
  FakeGame elsewhere(outside("copy/zEntry.exe"));

  // Through a link to the root: the root is canonicalised before comparing.
  fs::create_directory_symlink(root_, dir_.path() / "root-link");
  auto found = find_client_game_processes(dir_.path() / "root-link");
  ASSERT_TRUE(found) << found.error().to_string();

  std::vector<ProcessCandidate> expected{{top.pid(), root_ / "zEntry.exe"}, {nested.pid(), root_ / "bin/ZENTRY.EXE"}};
  std::sort(expected.begin(), expected.end(), [](auto& a, auto& b) { return a.pid < b.pid; });
  EXPECT_EQ(*found, expected);
}

TEST_F(GameProcesses, UnlinkedExecutableStillBelongsToTheClient) {
  fs::path path = game("zEntry.exe");
  FakeGame running(path);
  fs::remove(path);

  auto found = find_client_game_processes(root_);
  ASSERT_TRUE(found) << found.error().to_string();
  EXPECT_EQ(*found, (std::vector<ProcessCandidate>{{running.pid(), path}}));
}

TEST_F(GameProcesses, GameRunFromARemovedFolderElsewhereIsNotTheClients) {
  // Its image can no longer be canonicalised, but its path as reported
  // already lies outside the client: it must not stop the search.
  fs::path path = outside("gone/zEntry.exe");
  FakeGame running(path);
  fs::remove_all(path.parent_path());
  FakeGame inside(game("zEntry.exe"));

  auto found = find_client_game_processes(root_);
  ASSERT_TRUE(found) << found.error().to_string();
  EXPECT_EQ(pids_of(*found), std::vector<std::uint32_t>{inside.pid()});
}

TEST_F(GameProcesses, MissingRootIsReturnedUnchanged) {
  auto found = find_client_game_processes(root_ / "missing");
  ASSERT_FALSE(found);
  EXPECT_EQ(found.error().to_string(), "No such file or directory (os error 2)");
}

TEST_F(GameProcesses, CandidateThatCannotBeInspectedStopsTheSearch) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to start an unprivileged child";
  FakeGame running(game("zEntry.exe"));

  // An unprivileged process may not read the executable of root's game, so
  // it cannot tell whether that game belongs to the client.
  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(out[0]);
    std::string text = "privileges kept";
    if (::setgid(65534) == 0 && ::setuid(65534) == 0) {
      auto found = find_client_game_processes(root_);
      text = found ? "found " + std::to_string(found->size()) : found.error().to_string();
    }
    (void)!::write(out[1], text.data(), text.size());
    ::_exit(0);
  }
  ::close(out[1]);
  std::string text;
  char buffer[512];
  for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
  ::close(out[0]);
  ::waitpid(child, nullptr, 0);
  EXPECT_EQ(text,
            "candidate game process could not be scoped safely; patching stopped: process image query: "
            "Permission denied (os error 13)");
}

TEST_F(GameProcesses, CloseSendsTermToAGameWithoutWindowsAndLeavesOthersAlone) {
  FakeGame inside(game("zEntry.exe"));
  FakeGame elsewhere(outside("copy/zEntry.exe"));

  expect_closed_on_request(inside, kClosedBySignal);
  EXPECT_TRUE(elsewhere.running());
}

TEST_F(GameProcesses, CloseKillsAGameThatIgnoresTheRequestAfterTheWait) {
  FakeGame stubborn(game("zEntry.exe"), {"--fake-ignore-close"});

  auto start = Clock::now();
  auto closed = close_client_game(root_);
  auto elapsed = Clock::now() - start;
  ASSERT_TRUE(closed) << closed.error().to_string();
  EXPECT_EQ(pids_of(*closed), std::vector<std::uint32_t>{stubborn.pid()});
  EXPECT_GE(elapsed, std::chrono::seconds(5));
  EXPECT_LT(elapsed, std::chrono::seconds(7));
  int status = stubborn.reap();
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
}

TEST_F(GameProcesses, GameThatExitedBeforeTheCloseStillCounts) {
  // Exited but not yet reaped by its parent, and exited and reaped: the
  // process is gone either way.
  for (bool reap_first : {false, true}) {
    SCOPED_TRACE(reap_first ? "reaped" : "zombie");
    FakeGame game_process(game("zEntry.exe"));
    auto found = find_client_game_processes(root_);
    ASSERT_TRUE(found) << found.error().to_string();
    ASSERT_EQ(pids_of(*found), std::vector<std::uint32_t>{game_process.pid()});

    ::kill(static_cast<pid_t>(game_process.pid()), SIGKILL);
    if (reap_first) {
      game_process.reap();
    } else {
      while (game_process.running()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    auto closed = close_candidates(root_, *found);
    EXPECT_TRUE(closed) << closed.error().to_string();
    if (!reap_first) {
      // A zombie is not a candidate any more.
      auto again = find_client_game_processes(root_);
      ASSERT_TRUE(again) << again.error().to_string();
      EXPECT_TRUE(again->empty());
    }
  }
}

TEST_F(GameProcesses, CloseRefusesAnIdThatNowRunsAProgramOutsideTheClient) {
  // The listing said "inside"; by the close the id runs another program, as
  // after an id reuse. Neither it nor the later candidate is touched.
  FakeGame stranger(outside("copy/zEntry.exe"));
  FakeGame later(game("zEntry.exe"));
  std::vector<ProcessCandidate> stale{{stranger.pid(), root_ / "zEntry.exe"}, {later.pid(), root_ / "zEntry.exe"}};

  auto closed = close_candidates(root_, stale);
  ASSERT_FALSE(closed);
  EXPECT_EQ(closed.error().to_string(), "process identity changed");
  EXPECT_TRUE(stranger.running());
  EXPECT_TRUE(later.running());
}

TEST_F(GameProcesses, CloseRefusesAProtectedReferenceClient) {
  fs::create_directories(dir_.path() / "QVOnline Pristine");
  auto closed = close_client_game(dir_.path() / "QVOnline Pristine");
  ASSERT_FALSE(closed);
  EXPECT_EQ(closed.error().to_string(), "immutable original/comparison client cannot be a write target");
}

// Windows under a private X server with no window manager: top-level windows
// are the root window's children.
class GameWindows : public GameProcesses {
 protected:
  static void SetUpTestSuite() { server_ = new testing::Xvfb(); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    GameProcesses::SetUp();
    if (!server_->display()) GTEST_SKIP() << "no X server for window tests: " << server_->reason();
    ::setenv("DISPLAY", server_->display()->c_str(), 1);
  }
  void TearDown() override { ::unsetenv("DISPLAY"); }

  static testing::Xvfb* server_;
};
testing::Xvfb* GameWindows::server_ = nullptr;

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

TEST_F(GameWindows, DeclaredIdsNoProcessCanHaveArePassedOver) {
  // Any X client may declare any pid; 0 or one beyond the id range must not
  // stop the search.
  FakeGame zero(game("bin/zero.bin"), {"--fake-window", "--fake-declared-pid=0"});
  FakeGame huge(game("bin/huge.bin"), {"--fake-window", "--fake-declared-pid=4294967295"});
  FakeGame titled(game("bin/game.bin"), {"--fake-window"});

  auto found = find_client_game_processes(root_);
  ASSERT_TRUE(found) << found.error().to_string();
  EXPECT_EQ(pids_of(*found), std::vector<std::uint32_t>{titled.pid()});
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

class LaunchGame : public GameProcesses {
 protected:
  Manifest manifest(std::string exe, std::vector<std::string> args = {}) {
    Manifest m;
    m.game_exe = std::move(exe);
    m.game_args = std::move(args);
    return m;
  }
};

TEST_F(LaunchGame, PassesArgumentsAndFolderAndLeaksNoDescriptor) {
  game("bin/game.bin");
  const fs::path record = dir_.path() / "record.json";
  const std::vector<std::string> args{"--fake-record=" + record.string(), "--fake-exit-after=0", "two words", "",
                                      "quo\"te\\", "ünïcode"};
  // A descriptor opened without close-on-exec, as a careless library might.
  int leaked = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(leaked, 0);

  // A relative root: the program must still be found once the game's
  // working folder is the root.
  const fs::path here = fs::current_path();
  fs::current_path(dir_.path());
  auto launched = launch_game("client", manifest("bin/game.bin", args));
  fs::current_path(here);
  ::close(leaked);
  ASSERT_TRUE(launched) << launched.error().to_string();

  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (!fs::exists(record) && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  std::ifstream in(record);
  ASSERT_TRUE(in) << "the game wrote no record";
  auto json = nlohmann::json::parse(in);
  EXPECT_EQ(json["args"].get<std::vector<std::string>>(), args);
  EXPECT_EQ(json["cwd"].get<std::string>(), root_.string());
  for (int fd : json["fds"].get<std::vector<int>>()) EXPECT_LE(fd, 2) << "inherited descriptor " << fd;

  // The game exits at once; the launcher reaps it, so its entry goes away.
  const auto pid = json["pid"].get<std::uint32_t>();
  const auto reap_deadline = Clock::now() + std::chrono::seconds(10);
  while (testing::process_entry_exists(pid) && Clock::now() < reap_deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_FALSE(testing::process_entry_exists(pid)) << "the exited game was left a zombie";
}

TEST_F(LaunchGame, RefusesWhatIsNotAStartableFile) {
  fs::create_directories(root_ / "bin");
  std::ofstream(root_ / "bin/plain.txt") << "not a program";
  fs::permissions(root_ / "bin/plain.txt", fs::perms(0644));
  struct Case {
    const char* exe;
    const char* error;
  };
  for (const auto& c : std::initializer_list<Case>{{"bin/missing.exe", "game executable missing"},
                                                   {"bin", "game executable missing"},
                                                   {"bin/plain.txt", "Permission denied (os error 13)"}}) {
    auto launched = launch_game(root_, manifest(c.exe));
    ASSERT_FALSE(launched) << c.exe;
    EXPECT_EQ(launched.error().to_string(), c.error) << c.exe;
  }
}

}  // namespace
}  // namespace qv
