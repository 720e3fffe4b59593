#include "foundations/processes_test_fixture.hpp"

#include <fcntl.h>
#include <linux/sched.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

#ifndef QV_FAKE_GAME
#define QV_FAKE_GAME QV_BINARY_DIR "/tools/fake_game/fake_game"
#endif

extern char** environ;

namespace qv::testing {
namespace {

pid_t spawn(std::vector<std::string> command) {
  std::vector<char*> argv;
  for (auto& a : command) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, command.at(0).c_str(), nullptr, nullptr, argv.data(), environ);
  if (rc != 0) throw std::runtime_error("cannot start " + command[0] + ": " + std::to_string(rc));
  return pid;
}

// Outside every client folder, and reachable from another mount namespace.
fs::path ready_file() {
  static int counter = 0;
  return fs::temp_directory_path() /
         ("qv-fake-game-" + std::to_string(::getpid()) + "-" + std::to_string(++counter) + ".ready");
}

}  // namespace

void install_fake_game(const fs::path& target) {
  fs::create_directories(target.parent_path());
  fs::copy_file(QV_FAKE_GAME, target, fs::copy_options::overwrite_existing);
  fs::permissions(target, fs::perms(0755));
}

FakeGame::FakeGame(const fs::path& program, std::vector<std::string> args)
    : FakeGame([&] {
        Command command{{program.string()}};
        command.argv.insert(command.argv.end(), args.begin(), args.end());
        return command;
      }()) {}

FakeGame::FakeGame(Command command) {
  const std::string ready = ready_file().string();
  ::unlink(ready.c_str());
  command.argv.push_back("--fake-ready=" + ready);
  pid_ = spawn(std::move(command.argv));
  wait_ready(ready);
}

std::unique_ptr<FakeGame> FakeGame::start_as(std::uint32_t pid, const fs::path& program, std::vector<std::string> args,
                                             std::string& reason) {
  const std::string ready = ready_file().string();
  ::unlink(ready.c_str());
  std::vector<std::string> owned{program.string()};
  owned.insert(owned.end(), args.begin(), args.end());
  owned.push_back("--fake-ready=" + ready);
  std::vector<char*> argv;
  for (auto& a : owned) argv.push_back(a.data());
  argv.push_back(nullptr);
  // clone3 with a chosen id; the child only executes the program.
  pid_t wanted = static_cast<pid_t>(pid);
  clone_args clone{};
  clone.exit_signal = SIGCHLD;
  clone.set_tid = reinterpret_cast<std::uintptr_t>(&wanted);
  clone.set_tid_size = 1;
  const long child = ::syscall(SYS_clone3, &clone, sizeof clone);
  if (child == 0) {
    ::execve(argv[0], argv.data(), environ);
    ::_exit(127);
  }
  if (child < 0) {
    reason = std::string("cannot start a process with a chosen id: ") + std::strerror(errno);
    return nullptr;
  }
  std::unique_ptr<FakeGame> game(new FakeGame());
  game->pid_ = static_cast<pid_t>(child);
  game->wait_ready(ready);
  return game;
}

void FakeGame::wait_ready(const std::string& ready) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (::access(ready.c_str(), F_OK) != 0) {
    if (std::chrono::steady_clock::now() > deadline || !running()) {
      // No destructor runs for an object whose construction fails.
      ::kill(pid_, SIGKILL);
      reap();
      throw std::runtime_error("fake game not ready");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ::unlink(ready.c_str());
}

FakeGame::~FakeGame() {
  if (reaped_) return;
  ::kill(pid_, SIGKILL);
  reap();
}

int FakeGame::reap() {
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  reaped_ = true;
  return status;
}

void FakeGame::stop() {
  if (reaped_) return;
  ::kill(pid_, SIGTERM);
  reap();
}

bool FakeGame::running() const {
  siginfo_t info{};
  // WNOWAIT leaves an exited child to be reaped by reap().
  if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0) return false;
  return info.si_pid == 0;
}

bool process_entry_exists(std::uint32_t pid) { return ::access(("/proc/" + std::to_string(pid)).c_str(), F_OK) == 0; }

std::vector<std::uint32_t> pids_of(const std::vector<ProcessCandidate>& candidates) {
  std::vector<std::uint32_t> pids;
  for (const auto& c : candidates) pids.push_back(c.pid);
  return pids;
}

std::vector<std::pair<std::uint32_t, fs::path>> listed(const std::vector<ProcessCandidate>& candidates) {
  std::vector<std::pair<std::uint32_t, fs::path>> out;
  for (const auto& c : candidates) out.emplace_back(c.pid, c.image);
  return out;
}

std::vector<std::uint32_t> sorted(std::vector<std::uint32_t> pids) {
  std::sort(pids.begin(), pids.end());
  return pids;
}

void GameProcesses::SetUp() {
  // Windows are looked at only by the tests that start their own server.
  ::unsetenv("DISPLAY");
  root_ = fs::canonical(dir_.path()) / "client";
  fs::create_directories(root_);
}

fs::path GameProcesses::game(const std::string& relative) {
  fs::path path = root_ / relative;
  install_fake_game(path);
  return path;
}

fs::path GameProcesses::outside(const std::string& relative) {
  fs::path path = dir_.path() / relative;
  install_fake_game(path);
  return fs::canonical(path);
}

void GameProcesses::expect_closed_on_request(FakeGame& only, int exit_code) {
  const auto start = std::chrono::steady_clock::now();
  auto closed = close_client_game(root_);
  ASSERT_TRUE(closed) << closed.error().to_string();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(pids_of(*closed), std::vector<std::uint32_t>{only.pid()});
  int status = only.reap();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == exit_code) << status;
}

Xvfb* GameWindows::server_ = nullptr;

void GameWindows::SetUpTestSuite() { server_ = new Xvfb(); }

void GameWindows::TearDownTestSuite() {
  delete server_;
  server_ = nullptr;
}

void GameWindows::SetUp() {
  GameProcesses::SetUp();
  if (!server_->display()) GTEST_SKIP() << "no X server for window tests: " << server_->reason();
  ::setenv("DISPLAY", server_->display()->c_str(), 1);
}

void GameWindows::TearDown() {
  ::unsetenv("DISPLAY");
  ::unsetenv("XAUTHORITY");
}

}  // namespace qv::testing
