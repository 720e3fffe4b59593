#include "platform/process_handle.hpp"

#include <poll.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>

namespace qv::platform {
namespace {

// Called through syscall(2): this C library's header declares the wrappers
// without C linkage for C++.
int pidfd_open(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }
int pidfd_send_signal(int fd, int signal) { return static_cast<int>(::syscall(SYS_pidfd_send_signal, fd, signal, nullptr, 0)); }

}  // namespace

Result<ProcessHandle> ProcessHandle::open(std::uint32_t pid) {
  // pidfd_open sets close-on-exec on the descriptor it returns.
  int fd = pidfd_open(static_cast<pid_t>(pid));
  if (fd < 0) return fail_os(errno);
  return ProcessHandle(UniqueFd(fd), pid);
}

Status ProcessHandle::send_signal(int signal) const {
  if (pidfd_send_signal(fd_.get(), signal) != 0) return fail_os(errno);
  return {};
}

Result<bool> ProcessHandle::wait_exit(int timeout_ms) const {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  int remaining = timeout_ms;
  for (;;) {
    pollfd p{fd_.get(), POLLIN, 0};
    int rc = ::poll(&p, 1, remaining);
    if (rc > 0) return true;
    if (rc == 0) return false;
    if (errno != EINTR) return fail_os(errno);
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    remaining = left > 0 ? static_cast<int>(left) : 0;
  }
}

Result<ProcessImage> ProcessHandle::image() const {
  auto image = read_process_image(pid_);
  // Whatever the read found, it belongs to this process only if the process
  // had not exited by the time it finished: until it exits, its id cannot be
  // reused.
  auto exited = QV_TRY(wait_exit(0));
  if (exited) return fail_os(ESRCH);
  return image;
}

}  // namespace qv::platform
