// A running process held by a pidfd. Unlike a bare process id, the handle
// cannot come to mean another process when the id is reused: signals go
// through the descriptor, and a read of /proc/<pid> is trusted only when the
// handle shows the process still running after it.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.hpp"
#include "platform/fd.hpp"
#include "platform/process_scan.hpp"

namespace qv::platform {

class ProcessHandle {
 public:
  // Opens a pidfd (close-on-exec) for the process `pid`. Fails with the
  // operating-system error; ESRCH when no process has this id, which is also
  // the answer for the id of a thread that is not its process's first one.
  static Result<ProcessHandle> open(std::uint32_t pid);

  std::uint32_t pid() const { return pid_; }

  // Sends `signal` to the process; signal 0 only checks that it may be sent.
  // Fails with the operating-system error, ESRCH once the process has exited.
  Status send_signal(int signal) const;

  // Waits at most `timeout_ms` (0: a poll) for the process to exit. Returns
  // true once it has exited (it may not be reaped yet), false on timeout, or
  // the operating-system error of poll.
  Result<bool> wait_exit(int timeout_ms) const;

  // The executable of exactly this process (read_process_image, then
  // confirmed by the process still running); nothing for a kernel thread,
  // which runs no program. Fails with ESRCH when the process has exited,
  // otherwise with the error of the read.
  Result<std::optional<ProcessImage>> image() const;

  // The files mapped into exactly this process (read_mapped_files, then
  // confirmed as image() is). Fails as image() does.
  Result<std::vector<MappedFile>> mapped_files() const;

  // Whether exactly this process belongs to another user (read_process_users
  // and is_another_users, confirmed as image() is). Fails as image() does.
  Result<bool> belongs_to_another_user() const;

  // The variables `names` of exactly this process's starting environment
  // (read_process_environment, confirmed as image() is). Fails as image()
  // does.
  Result<std::map<std::string, std::string, std::less<>>> environment(std::span<const std::string_view> names) const;

 private:
  ProcessHandle(UniqueFd fd, std::uint32_t pid) : fd_(std::move(fd)), pid_(pid) {}
  // ESRCH when the process has exited by now, else nothing.
  Status confirm_running() const;
  UniqueFd fd_;
  std::uint32_t pid_ = 0;
};

// What an error met while inspecting or signalling a process says, judged by
// the operating-system error at the end of its chain of causes.
// The process has exited (or the id never named one).
bool means_process_gone(const Error& error);
// This process may not inspect or signal that one.
bool means_access_denied(const Error& error);

}  // namespace qv::platform
