#include "core/foundations/processes.hpp"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <future>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "foundations/processes_test_fixture.hpp"
#include "platform/process_info.hpp"
#include "support/child_process.hpp"
#include "support/temp_dir.hpp"

namespace qv {
namespace {

using test::ChildEnv;
using testing::FakeGame;
using testing::GameProcesses;
using testing::install_fake_game;
using testing::kClosedBySignal;
using testing::pids_of;
using testing::sorted;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

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
  // Removed, or replaced by a new file (as an install replaces it): the file
  // now at the path is not the one running, yet the game is this client's.
  for (bool replaced : {false, true}) {
    SCOPED_TRACE(replaced ? "replaced" : "removed");
    fs::path path = game("zEntry.exe");
    FakeGame running(path);
    fs::remove(path);
    if (replaced) install_fake_game(path);

    auto found = find_client_game_processes(root_);
    ASSERT_TRUE(found) << found.error().to_string();
    EXPECT_EQ(*found, (std::vector<ProcessCandidate>{{running.pid(), path}}));
  }
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

TEST_F(GameProcesses, IdsThatNameNoProcessOfTheClientAreNotClosed) {
  // A thread's id is no process's, and the launcher's own process is never
  // closed, whatever a stale or forged list says of them.
  std::promise<pid_t> tid;
  std::promise<void> release;
  std::thread worker([&] {
    tid.set_value(::gettid());
    release.get_future().wait();
  });
  const auto thread_id = static_cast<std::uint32_t>(tid.get_future().get());
  const auto self = static_cast<std::uint32_t>(platform::process_id());
  auto closed = close_candidates(root_, std::vector<ProcessCandidate>{{thread_id, root_ / "zEntry.exe"},
                                                                       {self, root_ / "Launcher.exe"}});
  release.set_value();
  worker.join();
  EXPECT_TRUE(closed) << closed.error().to_string();
}

TEST_F(GameProcesses, ProcessWhoseFirstThreadExitedIsInspectedThroughAnother) {
  // Renamed to the game's name, its first thread gone: its program is read
  // through the thread still running, and lies outside the client.
  FakeGame renamed(outside("tools/renamed"), {"--fake-comm=zEntry.exe", "--fake-leader-exits"});
  FakeGame inside(game("zEntry.exe"), {"--fake-leader-exits"});

  auto found = find_client_game_processes(root_);
  ASSERT_TRUE(found) << found.error().to_string();
  EXPECT_EQ(*found, (std::vector<ProcessCandidate>{{inside.pid(), root_ / "zEntry.exe"}}));
  // The signal reaches the thread that runs on.
  expect_closed_on_request(inside, kClosedBySignal);
  EXPECT_TRUE(renamed.running());
}

TEST_F(GameProcesses, ProcessOfAnotherMountNamespaceRunningAnotherFileIsNotTheClients) {
  if (test::run_child({"unshare", "-m", "--propagation", "private", "true"}).exit_code != 0) {
    GTEST_SKIP() << "unshare -m is not permitted here";
  }
  // Inside their namespace the impostors' folder is mounted over the root:
  // their programs have the client's paths but are other files.
  const fs::path genuine = game("zEntry.exe");
  const fs::path impostors = dir_.path() / "impostors";
  install_fake_game(impostors / "zEntry.exe");
  install_fake_game(impostors / "bin/zEntry.exe");  // no such file in the client
  const fs::path loader = outside("wine/wine64");
  auto in_namespace = [&](std::vector<std::string> command) {
    FakeGame::Command wrapped{{"unshare", "-m", "--propagation", "private", "sh", "-c",
                               "mount --bind \"$1\" \"$2\" && shift 2 && exec \"$@\"", "sh", impostors.string(),
                               root_.string()}};
    wrapped.argv.insert(wrapped.argv.end(), command.begin(), command.end());
    return wrapped;
  };
  FakeGame ours(genuine);
  FakeGame same_path(in_namespace({genuine.string()}));
  FakeGame missing_here(in_namespace({(root_ / "bin/zEntry.exe").string()}));
  FakeGame mapped(in_namespace({loader.string(), "--fake-comm=zEntry.exe", "--fake-map=" + genuine.string()}));

  auto found = find_client_game_processes(root_);
  ASSERT_TRUE(found) << found.error().to_string();
  EXPECT_EQ(pids_of(*found), std::vector<std::uint32_t>{ours.pid()});
}

TEST_F(GameProcesses, WindowsGameUnderALoaderIsPlacedByTheProgramItMaps) {
  // A stand-in loader under the loader's name, mapping a "zEntry.exe" from
  // inside or outside the client (or none yet), and named after it as the
  // loader names its processes.
  const fs::path loader = outside("wine/wine64");
  const fs::path program = game("zEntry.exe");
  const fs::path elsewhere = outside("copy/zEntry.exe");
  const fs::path library = outside("copy/helper.exe");
  const std::string named = "--fake-comm=zEntry.exe";
  FakeGame ours(loader, {named, "--fake-map=" + program.string()});
  // With a second program mapped, either side of it: the one named wins.
  FakeGame ours_too(loader, {named, "--fake-map=" + library.string(), "--fake-map=" + program.string()});
  FakeGame ours_three(loader, {named, "--fake-map=" + program.string(), "--fake-map=" + library.string()});
  FakeGame theirs(loader, {named, "--fake-map=" + elsewhere.string()});
  FakeGame starting(loader, {named});
  // Not a loader: its own executable is what counts.
  FakeGame viewer(outside("tools/viewer"), {named, "--fake-map=" + program.string()});

  auto found = find_client_game_processes(root_);
  ASSERT_TRUE(found) << found.error().to_string();
  std::vector<ProcessCandidate> expected{
      {ours.pid(), program}, {ours_too.pid(), program}, {ours_three.pid(), program}};
  std::sort(expected.begin(), expected.end(), [](auto& a, auto& b) { return a.pid < b.pid; });
  EXPECT_EQ(*found, expected);

  // Closing one through a stale list re-identifies it by its mapping too.
  auto closed = close_candidates(root_, std::vector<ProcessCandidate>{{ours.pid(), program}});
  ASSERT_TRUE(closed) << closed.error().to_string();
  int status = ours.reap();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == kClosedBySignal) << status;
  EXPECT_EQ(close_candidates(root_, std::vector<ProcessCandidate>{{theirs.pid(), program}}).error().to_string(),
            "process identity changed");
}

TEST_F(GameProcesses, WindowsGameRunByWineIsTheClients) {
#ifndef QV_FAKE_WINDOWS_GAME
  GTEST_SKIP() << "no Windows stand-in game: the x86_64-w64-mingw32-gcc cross-compiler is not installed";
#else
  if (test::run_child({"sh", "-c", "command -v wine && command -v wineserver"}).exit_code != 0) {
    GTEST_SKIP() << "wine is not installed";
  }
  const fs::path program = root_ / "zEntry.exe";
  fs::copy_file(QV_FAKE_WINDOWS_GAME, program);
  const ChildEnv env{{"WINEPREFIX", (dir_.path() / "wine-prefix").string()}, {"WINEDEBUG", "-all"}};
  test::Child wine = test::Child::start({"wine", program.string()}, env);

  // The first start sets up the prefix, which takes seconds.
  std::vector<ProcessCandidate> found;
  const auto deadline = Clock::now() + std::chrono::seconds(120);
  while (found.empty() && Clock::now() < deadline) {
    auto attempt = find_client_game_processes(root_);
    ASSERT_TRUE(attempt) << attempt.error().to_string();
    found = *attempt;
    if (found.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  ASSERT_EQ(found.size(), 1u) << "the game running under Wine was not found";
  EXPECT_EQ(found[0].image, program);

  auto closed = close_client_game(root_);
  ASSERT_TRUE(closed) << closed.error().to_string();
  EXPECT_EQ(*closed, found);
  auto again = find_client_game_processes(root_);
  ASSERT_TRUE(again) << again.error().to_string();
  EXPECT_TRUE(again->empty());
  // The prefix's own services go with it.
  test::run_child({"wineserver", "-k"}, env);
  wine.wait();
#endif
}

class LaunchGame : public GameProcesses {};

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
  auto launched = launch_game("client", "bin/game.bin", args);
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
    auto launched = launch_game(root_, c.exe, {});
    ASSERT_FALSE(launched) << c.exe;
    EXPECT_EQ(launched.error().to_string(), c.error) << c.exe;
  }
}

}  // namespace
}  // namespace qv
