#include "platform/disk_space.hpp"

#include <sys/statvfs.h>

#include <cerrno>
#include <limits>

namespace qv::platform {

Result<std::uint64_t> available_disk_bytes(const std::filesystem::path& path) {
  struct statvfs st {};
  int rc;
  do {
    rc = ::statvfs(path.c_str(), &st);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return fail_os(errno);
  const std::uint64_t blocks = st.f_bavail;
  const std::uint64_t block_size = st.f_frsize != 0 ? st.f_frsize : st.f_bsize;
  // Saturate rather than wrap: an absurd report must not look like a full disk.
  if (block_size != 0 && blocks > std::numeric_limits<std::uint64_t>::max() / block_size) {
    return std::numeric_limits<std::uint64_t>::max();
  }
  return blocks * block_size;
}

}  // namespace qv::platform
