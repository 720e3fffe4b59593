#include "platform/process_spawn.hpp"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

extern char** environ;

namespace qv::platform {
namespace {

// Owners of the posix_spawn attribute objects, destroyed on every path.
struct SpawnActions {
  posix_spawn_file_actions_t actions;
  SpawnActions() { ::posix_spawn_file_actions_init(&actions); }
  ~SpawnActions() { ::posix_spawn_file_actions_destroy(&actions); }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
};

struct SpawnAttributes {
  posix_spawnattr_t attr;
  SpawnAttributes() { ::posix_spawnattr_init(&attr); }
  ~SpawnAttributes() { ::posix_spawnattr_destroy(&attr); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
};

void reap_in_background(pid_t pid) {
  // A thread rather than a double fork: forking twice in a threaded program
  // leaves the middle child able to call only async-signal-safe functions,
  // while posix_spawn keeps the start in one well-defined call and reports
  // the exec failure directly. The thread only blocks in waitpid.
  try {
    std::thread([pid]() noexcept {
      while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
      }
    }).detach();
  } catch (...) {
    // No thread to spare: the child stays a zombie until the launcher exits,
    // which it does right after starting the game. Not worth failing a start
    // that has already happened.
  }
}

}  // namespace

Result<std::uint32_t> spawn_detached(const std::filesystem::path& program, const std::vector<std::string>& args,
                                     const std::filesystem::path& cwd) {
  SpawnActions actions;
  if (int rc = ::posix_spawn_file_actions_addchdir_np(&actions.actions, cwd.c_str()); rc != 0) return fail_os(rc);
  // Every descriptor of the launcher is close-on-exec already; closing the
  // rest in the child also covers descriptors a library opened without it
  // (the client lock must never outlive the launcher in the game).
  if (int rc = ::posix_spawn_file_actions_addclosefrom_np(&actions.actions, 3); rc != 0) return fail_os(rc);

  SpawnAttributes attributes;
  sigset_t empty;
  sigset_t all;
  sigemptyset(&empty);
  sigfillset(&all);
  ::posix_spawnattr_setsigmask(&attributes.attr, &empty);
  ::posix_spawnattr_setsigdefault(&attributes.attr, &all);
  ::posix_spawnattr_setflags(&attributes.attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  // The child changes folder before it executes the program, so a relative
  // program path would be looked up from the wrong folder.
  std::error_code ec;
  std::string program_text = std::filesystem::absolute(program, ec).string();
  if (ec) return fail_os(ec.value());
  std::vector<char*> argv;
  argv.reserve(args.size() + 2);
  argv.push_back(program_text.data());
  std::vector<std::string> owned(args);
  for (auto& arg : owned) argv.push_back(arg.data());
  argv.push_back(nullptr);

  pid_t pid = 0;
  int rc = ::posix_spawn(&pid, program_text.c_str(), &actions.actions, &attributes.attr, argv.data(), environ);
  if (rc != 0) return fail_os(rc);
  reap_in_background(pid);
  return static_cast<std::uint32_t>(pid);
}

bool means_exec_format_error(const Error& error) { return error.os_code() == ENOEXEC; }

}  // namespace qv::platform
