#include "core/foundations/processes.hpp"

#include <fcntl.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <future>
#include <optional>
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
using testing::listed;
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

  std::vector<std::pair<std::uint32_t, fs::path>> expected{{top.pid(), root_ / "zEntry.exe"},
                                                           {nested.pid(), root_ / "bin/ZENTRY.EXE"}};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(listed(*found), expected);
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
    EXPECT_EQ(listed(*found), (std::vector<std::pair<std::uint32_t, fs::path>>{{running.pid(), path}}));
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

// Searches the client `args[1]` for its games as the user `args[0]` (root
// drops to it first) and reports what it found, or "privileges kept".
QV_CHILD_MODE(find_as_user) {
  const auto id = static_cast<uid_t>(std::stoul(args.at(0)));
  if (::setgroups(0, nullptr) != 0 || ::setgid(id) != 0 || ::setuid(id) != 0) {
    test::child_say("privileges kept");
    return 0;
  }
  auto found = find_client_game_processes(args.at(1));
  if (!found) {
    test::child_say(found.error().to_string());
    return 0;
  }
  std::string text = "found";
  for (const auto& candidate : *found) text += " " + std::to_string(candidate.pid);
  test::child_say(text);
  return 0;
}

TEST_F(GameProcesses, ProcessThatCannotBeInspectedIsPassedOverOnlyWhenAnotherUsersIs) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run processes as an unprivileged user";
  constexpr const char* kPlayer = "65534";
  // The player's own game, and a root process of the game's name that the
  // player may not inspect: it cannot be the player's game from this client.
  FakeGame players(game("zEntry.exe"), {std::string("--fake-user=") + kPlayer});
  FakeGame roots(outside("system/zEntry.exe"), {"--fake-undumpable"});
  const auto search = [&] {
    test::Child child = test::Child::start_self("find_as_user", {kPlayer, root_.string()});
    auto line = child.read_line();
    child.wait();
    return line.value_or("no answer");
  };
  const std::string first = search();
  if (first == "privileges kept") GTEST_SKIP() << "the user " << kPlayer << " cannot be taken here";
  EXPECT_EQ(first, "found " + std::to_string(players.pid()));

  // One of the player's own processes that hides itself still stops the
  // search: it may be the game.
  FakeGame hidden(outside("hidden/zEntry.exe"), {std::string("--fake-user=") + kPlayer, "--fake-undumpable"});
  EXPECT_EQ(search(),
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
  std::vector<ProcessCandidate> stale{{stranger.pid(), root_ / "zEntry.exe", {}},
                                      {later.pid(), root_ / "zEntry.exe", {}}};

  auto closed = close_candidates(root_, stale);
  ASSERT_FALSE(closed);
  EXPECT_EQ(closed.error().to_string(), "process identity changed");
  EXPECT_TRUE(stranger.running());
  EXPECT_TRUE(later.running());
}

TEST_F(GameProcesses, CloseSignalsOnlyTheProgramThatWasListed) {
  // An id reused by another program of the client: what the listing found
  // there is gone, and the newcomer gets no signal.
  {
    FakeGame listed_game(game("zEntry.exe"));
    auto found = find_client_game_processes(root_);
    ASSERT_TRUE(found) << found.error().to_string();
    ASSERT_EQ(found->size(), 1u);
    FakeGame updater(game("LauncherUpdater.exe"));
    ProcessCandidate reused = found->front();
    reused.pid = updater.pid();
    auto closed = close_candidates(root_, std::vector<ProcessCandidate>{reused});
    ASSERT_FALSE(closed);
    EXPECT_EQ(closed.error().to_string(), "process identity changed");
    EXPECT_TRUE(updater.running());
  }
  // A game that, asked to close, executes another program of the client:
  // the kill after the wait would hit that program.
  FakeGame turning(game("zEntry.exe"), {"--fake-exec-on-close=" + game("bin/other").string()});
  auto closed = close_client_game(root_);
  ASSERT_FALSE(closed);
  EXPECT_EQ(closed.error().to_string(), "process identity changed");
  EXPECT_TRUE(turning.running());
  EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(turning.pid()) + "/exe"), root_ / "bin/other");
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
  auto closed = close_candidates(root_, std::vector<ProcessCandidate>{{thread_id, root_ / "zEntry.exe", {}},
                                                                       {self, root_ / "Launcher.exe", {}}});
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
  EXPECT_EQ(listed(*found), (std::vector<std::pair<std::uint32_t, fs::path>>{{inside.pid(), root_ / "zEntry.exe"}}));
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
  std::vector<std::pair<std::uint32_t, fs::path>> expected{
      {ours.pid(), program}, {ours_too.pid(), program}, {ours_three.pid(), program}};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(listed(*found), expected);

  // Closing one re-identifies it by its mapping too; the listing of it does
  // not fit a process that maps another copy.
  const auto ours_listed = std::find_if(found->begin(), found->end(), [&](auto& c) { return c.pid == ours.pid(); });
  ASSERT_NE(ours_listed, found->end());
  auto closed = close_candidates(root_, std::vector<ProcessCandidate>{*ours_listed});
  ASSERT_TRUE(closed) << closed.error().to_string();
  int status = ours.reap();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == kClosedBySignal) << status;
  ProcessCandidate stale = *ours_listed;
  stale.pid = theirs.pid();
  EXPECT_EQ(close_candidates(root_, std::vector<ProcessCandidate>{stale}).error().to_string(),
            "process identity changed");
}

class LaunchGame : public GameProcesses {};

// The record that a started fake game writes at `record`; null, with a test
// failure, when none came within 10 seconds.
nlohmann::json started_game_record(const fs::path& record) {
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (!fs::exists(record) && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  std::ifstream in(record);
  if (!in) {
    ADD_FAILURE() << "the started program wrote no record";
    return nullptr;
  }
  return nlohmann::json::parse(in);
}

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

  const auto json = started_game_record(record);
  ASSERT_FALSE(json.is_null());
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
  // Executable, but of no format the system or Wine runs.
  std::ofstream(root_ / "bin/garbage.exe") << "MZ not a PE image, only its first two bytes";
  fs::permissions(root_ / "bin/garbage.exe", fs::perms(0755));
  struct Case {
    const char* exe;
    const char* error;
  };
  for (const auto& c : std::initializer_list<Case>{{"bin/missing.exe", "game executable missing"},
                                                   {"bin", "game executable missing"},
                                                   {"bin/plain.txt", "Permission denied (os error 13)"},
                                                   {"bin/garbage.exe", "Exec format error (os error 8)"}}) {
    auto launched = launch_game(root_, c.exe, {});
    ASSERT_FALSE(launched) << c.exe;
    EXPECT_EQ(launched.error().to_string(), c.error) << c.exe;
  }
}

// A file the system takes for a Windows program: the MS-DOS header naming a
// PE signature, and nothing else. The system cannot execute it.
void write_windows_program_header(const fs::path& path) {
  std::string image(0x84, '\0');
  image[0] = 'M';
  image[1] = 'Z';
  image[0x3C] = static_cast<char>(0x80);
  image.replace(0x80, 4, std::string("PE\0\0", 4));
  test::write_file(path, image);
  fs::permissions(path, fs::perms(0755));
}

// True when the kernel has a handler registered for Windows programs, which
// would run them without the launcher's help.
bool windows_programs_have_a_handler() {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc/sys/fs/binfmt_misc", ec)) {
    const std::string text = test::read_file(entry.path());
    if (text.find("magic 4d5a") != std::string::npos) return true;
  }
  return false;
}

class ScopedVariable {
 public:
  ScopedVariable(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    set(value);
  }
  ~ScopedVariable() { set(old_); }
  ScopedVariable(const ScopedVariable&) = delete;
  ScopedVariable& operator=(const ScopedVariable&) = delete;

 private:
  void set(const std::optional<std::string>& value) {
    if (value) {
      ::setenv(name_, value->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }
  const char* name_;
  std::optional<std::string> old_;
};

TEST_F(LaunchGame, WindowsProgramTheSystemCannotRunStartsThroughWine) {
  if (windows_programs_have_a_handler()) GTEST_SKIP() << "the kernel runs Windows programs itself here";
  write_windows_program_header(root_ / "bin/game.exe");
  // A stand-in loader that records how it was started.
  const fs::path loader = outside("wine/wine");
  const fs::path record = dir_.path() / "record.json";
  const std::vector<std::string> args{"--fake-record=" + record.string(), "--fake-exit-after=0", "two words", ""};
  struct Case {
    const char* name;
    std::optional<std::string> wineloader;
    std::optional<std::string> path;
  };
  const std::string folder = loader.parent_path().string();
  for (const Case& c : {Case{"WINELOADER", loader.string(), "/nonexistent"},
                        Case{"wine from PATH", std::nullopt, "/nonexistent:" + folder},
                        Case{"WINELOADER missing, wine from PATH", (dir_.path() / "none").string(), folder}}) {
    SCOPED_TRACE(c.name);
    fs::remove(record);
    ScopedVariable wineloader("WINELOADER", c.wineloader);
    ScopedVariable path("PATH", c.path);
    auto launched = launch_game(root_, "bin/game.exe", args);
    ASSERT_TRUE(launched) << launched.error().to_string();
    const auto json = started_game_record(record);
    ASSERT_FALSE(json.is_null());
    std::vector<std::string> expected{(root_ / "bin/game.exe").string()};
    expected.insert(expected.end(), args.begin(), args.end());
    EXPECT_EQ(json["args"].get<std::vector<std::string>>(), expected);
    EXPECT_EQ(json["cwd"].get<std::string>(), root_.string());
  }

  // No Wine at all: the player is told what the game needs.
  ScopedVariable wineloader("WINELOADER", std::nullopt);
  ScopedVariable path("PATH", "/nonexistent");
  auto launched = launch_game(root_, "bin/game.exe", args);
  ASSERT_FALSE(launched);
  EXPECT_EQ(launched.error().to_string(), "this game is a Windows program and needs Wine; no wine was found");
}

}  // namespace
}  // namespace qv
