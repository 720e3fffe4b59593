#include "platform/session_spawn.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <memory>

extern char** environ;

namespace qv::platform {
namespace {

struct ActionsFree {
  void operator()(posix_spawn_file_actions_t* actions) const { ::posix_spawn_file_actions_destroy(actions); }
};
struct AttrFree {
  void operator()(posix_spawnattr_t* attr) const { ::posix_spawnattr_destroy(attr); }
};

// Each step of the child's set-up, in the order the child carries them out.
Status prepare_actions(posix_spawn_file_actions_t& actions, const std::filesystem::path& cwd) {
  for (int stream = 0; stream < 3; ++stream) {
    const int mode = stream == 0 ? O_RDONLY : O_WRONLY;
    if (int rc = ::posix_spawn_file_actions_addopen(&actions, stream, "/dev/null", mode, 0); rc != 0) {
      return fail_os(rc);
    }
  }
  // Every descriptor of this process is close-on-exec already; this also
  // covers one a library opened without it, so the client lock never reaches
  // the child.
  if (int rc = ::posix_spawn_file_actions_addclosefrom_np(&actions, 3); rc != 0) return fail_os(rc);
  if (int rc = ::posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str()); rc != 0) return fail_os(rc);
  return {};
}

}  // namespace

Result<std::uint32_t> spawn_in_new_session(const std::filesystem::path& program, const std::vector<std::string>& args,
                                           const std::filesystem::path& cwd) {
  if (!program.is_absolute()) return fail_os(EINVAL);
  posix_spawn_file_actions_t actions_storage;
  if (int rc = ::posix_spawn_file_actions_init(&actions_storage); rc != 0) return fail_os(rc);
  std::unique_ptr<posix_spawn_file_actions_t, ActionsFree> actions(&actions_storage);
  QV_TRY(prepare_actions(*actions, cwd));

  posix_spawnattr_t attr_storage;
  if (int rc = ::posix_spawnattr_init(&attr_storage); rc != 0) return fail_os(rc);
  std::unique_ptr<posix_spawnattr_t, AttrFree> attr(&attr_storage);
  sigset_t none;
  sigset_t every;
  sigemptyset(&none);
  sigfillset(&every);
  ::posix_spawnattr_setsigmask(attr.get(), &none);
  ::posix_spawnattr_setsigdefault(attr.get(), &every);
  ::posix_spawnattr_setflags(attr.get(), POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<std::string> owned;
  owned.reserve(args.size() + 1);
  owned.push_back(program.string());
  owned.insert(owned.end(), args.begin(), args.end());
  std::vector<char*> argv;
  argv.reserve(owned.size() + 1);
  for (auto& arg : owned) argv.push_back(arg.data());
  argv.push_back(nullptr);

  pid_t pid = 0;
  if (int rc = ::posix_spawn(&pid, owned.front().c_str(), actions.get(), attr.get(), argv.data(), environ); rc != 0) {
    return fail_os(rc);
  }
  return static_cast<std::uint32_t>(pid);
}

Result<std::optional<int>> reap_child(std::uint32_t pid) {
  int status = 0;
  while (::waitpid(static_cast<pid_t>(pid), &status, 0) < 0) {
    if (errno != EINTR) return fail_os(errno);
  }
  if (WIFEXITED(status)) return std::optional<int>(WEXITSTATUS(status));
  return std::optional<int>();
}

}  // namespace qv::platform
