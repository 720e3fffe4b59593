#include "support/child_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

#include <gtest/gtest.h>

#include "platform/process_info.hpp"

extern char** environ;

namespace qv::test {
namespace {

constexpr std::string_view kModeFlag = "--qv-child-mode=";
constexpr int kUnknownModeExit = 125;
// The descriptor on which a mode's messages reach the parent.
constexpr int kModeChannel = 3;

std::map<std::string, ChildModeFunction, std::less<>>& modes() {
  static std::map<std::string, ChildModeFunction, std::less<>> registered;
  return registered;
}

// Runs the requested mode, if this process was started as a child, before
// the first test: the whole test binary is then only a vehicle for the mode.
class ChildModeDispatch : public ::testing::Environment {
 public:
  void SetUp() override {
    const auto argv = platform::process_arguments();
    for (std::size_t i = 1; i < argv.size(); ++i) {
      if (!argv[i].starts_with(kModeFlag)) continue;
      // Programs the mode starts must not keep the parent's pipe open.
      ::fcntl(kModeChannel, F_SETFD, FD_CLOEXEC);
      const std::string name = argv[i].substr(kModeFlag.size());
      const ChildArgs args(argv.begin() + static_cast<std::ptrdiff_t>(i) + 1, argv.end());
      const auto found = modes().find(name);
      int code = kUnknownModeExit;
      if (found == modes().end()) {
        std::fprintf(stderr, "unknown child mode %s\n", name.c_str());
      } else {
        code = found->second(args);
      }
      std::fflush(nullptr);
      ::_exit(code);
    }
  }
};

[[maybe_unused]] ::testing::Environment* const kDispatch = ::testing::AddGlobalTestEnvironment(new ChildModeDispatch);

std::vector<std::string> merged_environment(const ChildEnv& env) {
  std::vector<std::string> out;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    const auto name = text.substr(0, text.find('='));
    bool overridden = false;
    for (const auto& [key, value] : env) overridden = overridden || key == name;
    if (!overridden) out.emplace_back(text);
  }
  for (const auto& [key, value] : env) out.push_back(key + "=" + value);
  return out;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
  std::vector<char*> out;
  for (auto& text : texts) out.push_back(text.data());
  out.push_back(nullptr);
  return out;
}

std::string self_executable() {
  char buffer[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return {};
  return std::string(buffer, static_cast<std::size_t>(n));
}

ChildExit exit_of(int status) {
  ChildExit result;
  if (WIFEXITED(status)) {
    result.exit_code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
  }
  return result;
}

}  // namespace

ChildModeRegistration::ChildModeRegistration(const char* name, ChildModeFunction function) {
  modes()[name] = function;
}

Child Child::start(const std::vector<std::string>& argv, const ChildEnv& env) {
  return start_with_channel(argv, env, STDOUT_FILENO);
}

Child Child::start_with_channel(const std::vector<std::string>& argv, const ChildEnv& env, int channel) {
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe2: " << std::strerror(errno);
    return Child(-1, -1);
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], channel);
  std::vector<std::string> args = argv;
  std::vector<std::string> environment = merged_environment(env);
  auto arg_pointers = pointers(args);
  auto env_pointers = pointers(environment);
  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, args.at(0).c_str(), &actions, nullptr, arg_pointers.data(), env_pointers.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipe_fds[1]);
  if (rc != 0) {
    ::close(pipe_fds[0]);
    ADD_FAILURE() << "cannot start " << args.at(0) << ": " << std::strerror(rc);
    return Child(-1, -1);
  }
  return Child(pid, pipe_fds[0]);
}

Child Child::start_self(std::string_view mode, const ChildArgs& args, const ChildEnv& env) {
  return start_self_under({}, mode, args, env);
}

Child Child::start_self_under(const std::vector<std::string>& wrapper, std::string_view mode, const ChildArgs& args,
                              const ChildEnv& env) {
  std::vector<std::string> argv = wrapper;
  argv.push_back(self_executable());
  argv.push_back(child_mode_argument(mode));
  argv.insert(argv.end(), args.begin(), args.end());
  return start_with_channel(argv, env, kModeChannel);
}

Child Child::start_mode_command(const std::vector<std::string>& argv, const ChildEnv& env) {
  return start_with_channel(argv, env, kModeChannel);
}

std::string child_mode_argument(std::string_view mode) { return std::string(kModeFlag) + std::string(mode); }

Child::Child(Child&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      output_fd_(std::exchange(other.output_fd_, -1)),
      buffered_(std::move(other.buffered_)) {}

Child::~Child() {
  if (pid_ > 0) {
    kill(SIGKILL);
    wait();
  }
  if (output_fd_ >= 0) ::close(output_fd_);
}

std::optional<std::string> Child::read_line(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (const auto end = buffered_.find('\n'); end != std::string::npos) {
      std::string line = buffered_.substr(0, end);
      buffered_.erase(0, end + 1);
      return line;
    }
    if (output_fd_ < 0) return std::nullopt;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    drain_output(left);
  }
}

bool Child::wait_for_line(std::string_view line, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    const auto next = read_line(left);
    if (!next) return false;
    if (*next == line) return true;
  }
}

pid_t Child::detach() {
  if (output_fd_ >= 0) ::close(output_fd_);
  output_fd_ = -1;
  return std::exchange(pid_, -1);
}

void Child::kill(int signal) {
  if (pid_ > 0) ::kill(pid_, signal);
}

ChildExit Child::wait() {
  // Reads while the child runs (so a chatty child never blocks on a full
  // pipe), then only what is already there: a grandchild that inherited the
  // pipe must not keep the parent waiting.
  ChildExit result;
  bool reaped = pid_ <= 0;
  while (!reaped) {
    int status = 0;
    // Once the pipe is closed there is nothing to read: just wait.
    const pid_t done = ::waitpid(pid_, &status, output_fd_ < 0 ? 0 : WNOHANG);
    if (done == pid_) {
      result = exit_of(status);
      pid_ = -1;
      reaped = true;
    } else if (done < 0 && errno != EINTR) {
      pid_ = -1;
      reaped = true;
    } else {
      drain_output(std::chrono::milliseconds(20));
    }
  }
  drain_output(std::chrono::milliseconds(0));
  if (output_fd_ >= 0) ::close(output_fd_);
  output_fd_ = -1;
  result.output = std::exchange(buffered_, {});
  return result;
}

void Child::drain_output(std::chrono::milliseconds timeout) {
  while (output_fd_ >= 0) {
    pollfd waiting{output_fd_, POLLIN, 0};
    const int ready = ::poll(&waiting, 1, static_cast<int>(timeout.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return;
    char chunk[4096];
    const ssize_t n = ::read(output_fd_, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ::close(output_fd_);
      output_fd_ = -1;
      return;
    }
    buffered_.append(chunk, static_cast<std::size_t>(n));
    timeout = std::chrono::milliseconds(0);
  }
}

ChildExit run_child(const std::vector<std::string>& argv, const ChildEnv& env) { return Child::start(argv, env).wait(); }

ChildExit run_self(std::string_view mode, const ChildArgs& args, const ChildEnv& env) {
  return Child::start_self(mode, args, env).wait();
}

void child_say(std::string_view line) {
  std::string text(line);
  text.push_back('\n');
  // A mode run by hand has no channel: its messages go to standard output.
  const int fd = ::fcntl(kModeChannel, F_GETFD) >= 0 ? kModeChannel : STDOUT_FILENO;
  std::fflush(stdout);
  const char* p = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

}  // namespace qv::test
