#include "platform/sequential_read.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/fs.hpp"

namespace qv::platform {

Result<UniqueFd> open_sequential_read(const std::filesystem::path& path) {
  auto fd = QV_TRY(open_fd(path, O_RDONLY));
  advise_sequential(fd.get());
  return fd;
}

void advise_sequential(int fd) { (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL); }

Result<std::size_t> read_some(int fd, std::span<std::byte> buffer) {
  ssize_t n = ::read(fd, buffer.data(), buffer.size());
  if (n < 0) return fail_os(errno);
  return static_cast<std::size_t>(n);
}

Result<std::size_t> read_some_retrying(int fd, std::span<std::byte> buffer) {
  for (;;) {
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return fail_os(errno);
  }
}

void start_writeback(int fd, std::uint64_t offset, std::uint64_t bytes) {
  (void)::sync_file_range(fd, static_cast<off64_t>(offset), static_cast<off64_t>(bytes), SYNC_FILE_RANGE_WRITE);
}

Result<UniqueFd> open_lookup_folder(const std::filesystem::path& path) {
  return open_fd(path, O_PATH | O_DIRECTORY);
}

Result<UniqueFd> open_below_for_reading(int folder_fd, const char* relative) {
  // Non-blocking, so that a pipe put at the path after it was looked at
  // cannot hold the open; reads of a regular file never block on it.
  int fd;
  do {
    fd = ::openat(folder_fd, relative, O_RDONLY | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return fail_os(errno);
  return UniqueFd(fd);
}

}  // namespace qv::platform
