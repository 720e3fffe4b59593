#include "platform/durable.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/folder.hpp"
#include "platform/fs.hpp"

namespace qv::platform {
namespace {

constexpr std::size_t kCopyChunk = 1 << 20;

Status copy_by_reading(int from_fd, int to_fd) {
  std::vector<char> buffer(kCopyChunk);
  for (;;) {
    const ssize_t n = ::read(from_fd, buffer.data(), buffer.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail_os(errno);
    }
    if (n == 0) return {};
    QV_TRY(write_all(to_fd, buffer.data(), static_cast<std::size_t>(n)));
  }
}

}  // namespace

Status flush_fd(int fd) {
  if (::fsync(fd) != 0) return fail_os(errno);
  return {};
}

Status flush_directory(const std::filesystem::path& folder) { return QV_TRY(open_folder(folder)).flush(); }

Status close_fd(int fd) {
  // Linux releases the descriptor even when close reports EINTR; never retry.
  if (::close(fd) != 0 && errno != EINTR) return fail_os(errno);
  return {};
}

Status rename_path(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) return fail_os(errno);
  return {};
}

Status remove_file(const std::filesystem::path& path) {
  if (::unlink(path.c_str()) != 0) return fail_os(errno);
  return {};
}

Status copy_contents(int from_fd, int to_fd) {
  for (;;) {
    const ssize_t n = ::copy_file_range(from_fd, nullptr, to_fd, nullptr, kCopyChunk, 0);
    if (n > 0) continue;
    if (n == 0) return {};
    if (errno == EINTR) continue;
    // Across file systems, or where the kernel cannot do it, copy by hand;
    // nothing was written yet in those cases.
    if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) {
      return copy_by_reading(from_fd, to_fd);
    }
    return fail_os(errno);
  }
}

Status truncate_fd(int fd, std::uint64_t size) {
  if (::ftruncate(fd, static_cast<off_t>(size)) != 0) return fail_os(errno);
  return {};
}

Status set_mode(int fd, std::uint32_t mode) {
  if (::fchmod(fd, static_cast<mode_t>(mode & 07777)) != 0) return fail_os(errno);
  return {};
}

Status check_folder_writable(const std::filesystem::path& folder) {
  if (::faccessat(AT_FDCWD, folder.c_str(), W_OK, AT_EACCESS) != 0) return fail_os(errno);
  return {};
}

Status probe_sole_opener(int fd) {
  // While the lease is held, another opener makes the kernel signal this
  // process; SIGURG is ignored unless a handler is installed, so the brief
  // lease can never end the process the way the default SIGIO would.
  if (::fcntl(fd, F_SETSIG, SIGURG) != 0) return fail_os(errno);
  if (::fcntl(fd, F_SETLEASE, F_WRLCK) != 0) {
    const int err = errno;
    if (err == EAGAIN || err == EBUSY) return fail_os(err);
    return {};
  }
  ::fcntl(fd, F_SETLEASE, F_UNLCK);
  return {};
}

}  // namespace qv::platform
