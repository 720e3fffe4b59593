#include "foundations/processes_test_fixture.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#ifndef QV_FAKE_GAME
#define QV_FAKE_GAME QV_BINARY_DIR "/tools/fake_game/fake_game"
#endif

extern char** environ;

namespace qv::testing {
namespace {

pid_t spawn(const std::string& program, const std::vector<std::string>& args, posix_spawn_file_actions_t* actions) {
  std::vector<std::string> owned{program};
  owned.insert(owned.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : owned) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, program.c_str(), actions, nullptr, argv.data(), environ);
  if (rc != 0) throw std::runtime_error("cannot start " + program + ": " + std::to_string(rc));
  return pid;
}

}  // namespace

void install_fake_game(const fs::path& target) {
  fs::create_directories(target.parent_path());
  fs::copy_file(QV_FAKE_GAME, target, fs::copy_options::overwrite_existing);
  fs::permissions(target, fs::perms(0755));
}

FakeGame::FakeGame(const fs::path& program, std::vector<std::string> args) {
  const std::string ready = program.string() + "." + std::to_string(::getpid()) + ".ready";
  ::unlink(ready.c_str());
  args.push_back("--fake-ready=" + ready);
  pid_ = spawn(program.string(), args, nullptr);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (::access(ready.c_str(), F_OK) != 0) {
    if (std::chrono::steady_clock::now() > deadline || !running()) throw std::runtime_error("fake game not ready");
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

bool FakeGame::running() const {
  siginfo_t info{};
  // WNOWAIT leaves an exited child to be reaped by reap().
  if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0) return false;
  return info.si_pid == 0;
}

bool process_entry_exists(std::uint32_t pid) { return ::access(("/proc/" + std::to_string(pid)).c_str(), F_OK) == 0; }

}  // namespace qv::testing
