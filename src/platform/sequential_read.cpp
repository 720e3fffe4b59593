#include "platform/sequential_read.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/fs.hpp"

namespace qv::platform {

Result<UniqueFd> open_sequential_read(const std::filesystem::path& path) {
  auto fd = QV_TRY(open_fd(path, O_RDONLY));
  // Only a hint: a file system that ignores it is read just the same.
  (void)::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  return fd;
}

Result<std::size_t> read_some(int fd, std::span<std::byte> buffer) {
  ssize_t n = ::read(fd, buffer.data(), buffer.size());
  if (n < 0) return fail_os(errno);
  return static_cast<std::size_t>(n);
}

}  // namespace qv::platform
