// A running process held by a pidfd. Unlike a bare process id, the handle
// cannot come to mean another process when the id is reused: signals go
// through the descriptor, and a read of /proc/<pid> is trusted only when the
// handle shows the process still running after it.
#pragma once

#include <cstdint>

#include "core/foundations/error.hpp"
#include "platform/fd.hpp"
#include "platform/process_scan.hpp"

namespace qv::platform {

class ProcessHandle {
 public:
  // Opens a pidfd (close-on-exec) for `pid`. Fails with the operating-system
  // error; ESRCH when no such process exists.
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
  // confirmed by the process still running). Fails with ESRCH when the
  // process has exited, otherwise with the error of the read.
  Result<ProcessImage> image() const;

 private:
  ProcessHandle(UniqueFd fd, std::uint32_t pid) : fd_(std::move(fd)), pid_(pid) {}
  UniqueFd fd_;
  std::uint32_t pid_ = 0;
};

}  // namespace qv::platform
