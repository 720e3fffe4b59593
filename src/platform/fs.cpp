#include "platform/fs.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>

#include "platform/folder.hpp"

namespace qv::platform {
namespace {

FileKind kind_of(unsigned mode) {
  if (S_ISREG(mode)) return FileKind::Regular;
  if (S_ISDIR(mode)) return FileKind::Directory;
  if (S_ISLNK(mode)) return FileKind::Symlink;
  return FileKind::Other;
}

FileInfo info_from(const struct stat& st) {
  FileInfo info;
  info.kind = kind_of(st.st_mode);
  info.size = static_cast<std::uint64_t>(st.st_size);
  info.mode = static_cast<std::uint32_t>(st.st_mode & 07777);
  info.device = static_cast<std::uint64_t>(st.st_dev);
  info.inode = static_cast<std::uint64_t>(st.st_ino);
  info.links = static_cast<std::uint64_t>(st.st_nlink);
  return info;
}

FileInfo info_from(const struct statx& st) {
  FileInfo info;
  info.kind = kind_of(st.stx_mode);
  info.size = st.stx_size;
  info.mode = static_cast<std::uint32_t>(st.stx_mode & 07777);
  info.device = static_cast<std::uint64_t>(makedev(st.stx_dev_major, st.stx_dev_minor));
  info.inode = st.stx_ino;
  info.links = st.stx_nlink;
  info.mount_root = (st.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 &&
                    (st.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
  return info;
}

// Set once statx is refused outright (an old kernel, or a sandbox filter that
// knows only the older calls): metadata then comes from fstatat, which cannot
// tell the root of a bind mount of the same file system.
std::atomic<bool> g_statx_missing{false};

// Metadata of `name` relative to `folder_fd` (with AT_EMPTY_PATH and "", of
// the descriptor itself), by statx where the system offers it.
Result<FileInfo> stat_at(int folder_fd, const char* name, int flags) {
  if (!g_statx_missing.load(std::memory_order_relaxed)) {
    struct statx st {};
    if (::statx(folder_fd, name, flags, STATX_BASIC_STATS, &st) == 0) return info_from(st);
    if (errno != ENOSYS && errno != EPERM) return fail_os(errno);
    g_statx_missing.store(true, std::memory_order_relaxed);
  }
  struct stat st {};
  if (::fstatat(folder_fd, name, &st, flags) != 0) return fail_os(errno);
  return info_from(st);
}

// The kernel reads a path up to its first NUL; a path holding one would name
// another file than the text says, so it names none.
bool has_nul(const std::filesystem::path& path) { return path.native().find('\0') != std::string::npos; }

}  // namespace

bool is_mount_point(const FileInfo& entry, const FileInfo& folder) {
  return entry.mount_root || (entry.kind == FileKind::Directory && entry.device != folder.device);
}

Result<FileInfo> lstat_path(const std::filesystem::path& path) {
  if (has_nul(path)) return fail_os(EINVAL);
  return stat_at(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW);
}

Result<FileInfo> stat_path(const std::filesystem::path& path) {
  if (has_nul(path)) return fail_os(EINVAL);
  return stat_at(AT_FDCWD, path.c_str(), 0);
}

Result<FileInfo> stat_fd(int fd) { return stat_at(fd, "", AT_EMPTY_PATH); }

Result<FileInfo> lstat_at(int folder_fd, const std::string& name) {
  return stat_at(folder_fd, name.c_str(), AT_SYMLINK_NOFOLLOW);
}

Result<std::filesystem::path> canonicalize(const std::filesystem::path& path) {
  if (has_nul(path)) return fail_os(EINVAL);
  std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr), &std::free);
  if (!resolved) return fail_os(errno);
  return std::filesystem::path(resolved.get());
}

Result<std::filesystem::path> current_dir() {
  std::unique_ptr<char, decltype(&std::free)> cwd(::getcwd(nullptr, 0), &std::free);
  if (!cwd) return fail_os(errno);
  return std::filesystem::path(cwd.get());
}

Result<UniqueFd> open_fd(const std::filesystem::path& path, int flags, unsigned mode) {
  if (has_nul(path)) return fail_os(EINVAL);
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return fail_os(errno);
  return UniqueFd(fd);
}

Result<UniqueFd> open_for_read_no_follow(const std::filesystem::path& path) {
  return open_fd(path, O_RDONLY | O_NOFOLLOW);
}

Result<UniqueFd> create_new_file(const std::filesystem::path& path, unsigned mode) {
  return open_fd(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, mode & 07777);
}

Result<UniqueFd> open_or_create_lock_file(const std::filesystem::path& path) {
  return open_fd(path, O_RDWR | O_CREAT | O_NOFOLLOW, 0644);
}

bool is_lock_held_elsewhere(const Error& error) {
  const auto code = error.os_code();
  return code && (*code == EAGAIN || *code == EACCES);
}

Error lock_held_elsewhere_error() { return Error::os(EAGAIN); }

Result<std::string> read_small_file(const std::filesystem::path& path, std::size_t max_bytes) {
  auto fd = QV_TRY(open_fd(path, O_RDONLY));
  std::string out;
  char buffer[16384];
  for (;;) {
    ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail_os(errno);
    }
    if (n == 0) break;
    if (out.size() + static_cast<std::size_t>(n) > max_bytes) return fail("file too large");
    out.append(buffer, static_cast<std::size_t>(n));
  }
  return out;
}

Status write_all(int fd, const void* data, std::size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::write(fd, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail_os(errno);
    }
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return {};
}

Status make_directories(const std::filesystem::path& path) {
  if (path.empty()) return {};
  QV_TRY(open_or_create_folder(path));
  return {};
}

Status lock_whole_file(int fd, bool wait) {
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;  // to the end, however far the file grows
  for (;;) {
    if (::fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock) == 0) return {};
    if (errno == EINTR && wait) continue;
    return fail_os(errno);
  }
}

Status unlock_whole_file(int fd) {
  struct flock lock {};
  lock.l_type = F_UNLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;
  if (::fcntl(fd, F_OFD_SETLK, &lock) != 0) return fail_os(errno);
  return {};
}

}  // namespace qv::platform
