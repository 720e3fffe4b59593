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

// How long a process that has given up its memory may take to finish exiting.
constexpr int kExitingGraceMs = 100;

}  // namespace

Result<ProcessHandle> ProcessHandle::open(std::uint32_t pid) {
  if (pid == 0 || pid > static_cast<std::uint32_t>(INT32_MAX)) return fail_os(ESRCH);
  // pidfd_open sets close-on-exec on the descriptor it returns. It refuses
  // the id of a thread other than a process's first (with EINVAL, or ENOENT
  // on newer kernels): no process has that id.
  int fd = pidfd_open(static_cast<pid_t>(pid));
  if (fd < 0) return fail_os(errno == EINVAL || errno == ENOENT ? ESRCH : errno);
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

Status ProcessHandle::confirm_running() const {
  // Whatever a read of /proc found belongs to this process only if the
  // process had not exited by the time it finished: until it exits, its id
  // cannot be reused.
  const bool exited = QV_TRY(wait_exit(0));
  if (exited) return fail_os(ESRCH);
  return {};
}

Result<std::optional<ProcessImage>> ProcessHandle::image() const {
  auto image = read_process_image(pid_);
  QV_TRY(confirm_running());
  if (!image && image.error().os_code() == ENOENT) {
    // A running process without an executable is a kernel thread, or one
    // whose last threads are exiting right now.
    auto kernel = is_kernel_thread(pid_);
    QV_TRY(confirm_running());
    if (kernel && *kernel) return std::optional<ProcessImage>();
    const bool exited = QV_TRY(wait_exit(kExitingGraceMs));
    if (exited) return fail_os(ESRCH);
  }
  if (!image) return fail(image.error());
  return std::optional<ProcessImage>(std::move(*image));
}

Result<std::vector<MappedFile>> ProcessHandle::mapped_files() const {
  auto files = read_mapped_files(pid_);
  QV_TRY(confirm_running());
  return files;
}

Result<bool> ProcessHandle::belongs_to_another_user() const {
  auto users = read_process_users(pid_);
  QV_TRY(confirm_running());
  if (!users) return fail(users.error());
  return is_another_users(*users);
}

Result<std::map<std::string, std::string, std::less<>>> ProcessHandle::environment(
    std::span<const std::string_view> names) const {
  auto found = read_process_environment(pid_, names);
  QV_TRY(confirm_running());
  return found;
}

namespace {

std::optional<int> innermost_os_code(const Error& error) {
  std::optional<int> code = error.os_code();
  for (auto cause = error.cause(); cause; cause = cause->cause()) code = cause->os_code();
  return code;
}

}  // namespace

bool means_process_gone(const Error& error) { return innermost_os_code(error) == ESRCH; }

bool means_access_denied(const Error& error) {
  const auto code = innermost_os_code(error);
  return code == EACCES || code == EPERM;
}

}  // namespace qv::platform
