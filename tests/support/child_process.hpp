// Real child processes for tests: other programs, or this test binary
// re-executed in a named mode.
//
// A mode is a function registered with QV_CHILD_MODE in a test source. The
// parent starts it with Child::start_self("name", {args}); the child runs the
// function before any test and ends with its return value as exit code. The
// child's messages (child_say) travel through a pipe the parent reads line by
// line, which is how a child says "I hold the lock now": for a mode it is
// descriptor 3, so nothing the test framework prints gets in the way; for
// another program it is its standard output. Standard error is inherited, so
// a child's failures show in the test log.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qv::test {

using ChildArgs = std::vector<std::string>;
using ChildEnv = std::vector<std::pair<std::string, std::string>>;
using ChildModeFunction = int (*)(const ChildArgs& args);

// How a child ended: its exit code, or the signal that killed it.
struct ChildExit {
  int exit_code = -1;  // -1 when killed by a signal
  int signal = 0;      // 0 when it exited
  std::string output;  // messages (or standard output) not yet read by the parent
};

class Child {
 public:
  // Starts `argv` (argv[0] is looked up on PATH when it has no "/"), with
  // `env` set on top of this process's environment and its standard output
  // read by the parent. Fails the calling test when the program cannot be
  // started.
  static Child start(const std::vector<std::string>& argv, const ChildEnv& env = {});
  // Starts this test binary in the registered mode `mode` with `args`.
  static Child start_self(std::string_view mode, const ChildArgs& args = {}, const ChildEnv& env = {});
  // Starts `argv`, a command that runs this test binary or a copy of it with
  // child_mode_argument(mode) and the mode's arguments (directly, or through
  // a program such as unshare that keeps descriptor 3), with the mode's
  // messages on their own descriptor as start_self has them.
  static Child start_mode_command(const std::vector<std::string>& argv, const ChildEnv& env = {});
  // Like start_self, run by another program: `wrapper` is its command line (for
  // instance strace and its options), to which the binary and the mode are
  // appended.
  static Child start_self_under(const std::vector<std::string>& wrapper, std::string_view mode,
                                const ChildArgs& args = {}, const ChildEnv& env = {});

  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  Child(Child&& other) noexcept;
  Child& operator=(Child&&) = delete;
  // A child still running is killed and reaped.
  ~Child();

  pid_t pid() const { return pid_; }

  // The next line of the child's messages, without its line feed;
  // nothing at the end of output or after `timeout`.
  std::optional<std::string> read_line(std::chrono::milliseconds timeout = std::chrono::seconds(30));
  // Reads lines until one equals `line`; false at the end of output or after
  // `timeout`.
  bool wait_for_line(std::string_view line, std::chrono::milliseconds timeout = std::chrono::seconds(30));

  // Lets the child run on unwatched: it is neither killed nor reaped here,
  // and its output is no longer read. Returns its pid.
  pid_t detach();

  // Sends `signal` to the child.
  void kill(int signal);
  // Waits for the child to end and collects the rest of its output.
  ChildExit wait();

 private:
  Child(pid_t pid, int output_fd) : pid_(pid), output_fd_(output_fd) {}
  // Starts `argv` with the parent's pipe on descriptor `channel` of the child.
  static Child start_with_channel(const std::vector<std::string>& argv, const ChildEnv& env, int channel);
  // Appends what the pipe yields within `timeout` of the first read, then
  // whatever is readable at once.
  void drain_output(std::chrono::milliseconds timeout);
  pid_t pid_ = -1;
  int output_fd_ = -1;
  std::string buffered_;
};

// Starts, waits, returns how it ended.
ChildExit run_child(const std::vector<std::string>& argv, const ChildEnv& env = {});
ChildExit run_self(std::string_view mode, const ChildArgs& args = {}, const ChildEnv& env = {});

// The argument that selects the mode `mode` in a test binary.
std::string child_mode_argument(std::string_view mode);

// In a child: sends `line` and a line feed to the parent at once.
void child_say(std::string_view line);

// Registers a mode; used through QV_CHILD_MODE.
struct ChildModeRegistration {
  ChildModeRegistration(const char* name, ChildModeFunction function);
};

}  // namespace qv::test

// Defines a child mode: QV_CHILD_MODE(hold_lock) { ... return 0; } with the
// arguments in `args`.
#define QV_CHILD_MODE(name)                                                                        \
  static int qv_child_mode_##name(const ::qv::test::ChildArgs& args);                             \
  static const ::qv::test::ChildModeRegistration qv_child_registration_##name(#name,              \
                                                                              &qv_child_mode_##name); \
  static int qv_child_mode_##name([[maybe_unused]] const ::qv::test::ChildArgs& args)
