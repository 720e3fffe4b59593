#include "platform/fs.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>

#include "platform/folder.hpp"

namespace qv::platform {
namespace {

FileInfo info_from(const struct stat& st) {
  FileInfo info;
  if (S_ISREG(st.st_mode)) {
    info.kind = FileKind::Regular;
  } else if (S_ISDIR(st.st_mode)) {
    info.kind = FileKind::Directory;
  } else if (S_ISLNK(st.st_mode)) {
    info.kind = FileKind::Symlink;
  } else {
    info.kind = FileKind::Other;
  }
  info.size = static_cast<std::uint64_t>(st.st_size);
  info.mode = static_cast<std::uint32_t>(st.st_mode & 07777);
  info.device = static_cast<std::uint64_t>(st.st_dev);
  info.inode = static_cast<std::uint64_t>(st.st_ino);
  return info;
}

// The kernel reads a path up to its first NUL; a path holding one would name
// another file than the text says, so it names none.
bool has_nul(const std::filesystem::path& path) { return path.native().find('\0') != std::string::npos; }

}  // namespace

Result<FileInfo> lstat_path(const std::filesystem::path& path) {
  if (has_nul(path)) return fail_os(EINVAL);
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return fail_os(errno);
  return info_from(st);
}

Result<FileInfo> stat_path(const std::filesystem::path& path) {
  if (has_nul(path)) return fail_os(EINVAL);
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return fail_os(errno);
  return info_from(st);
}

Result<FileInfo> stat_fd(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return fail_os(errno);
  return info_from(st);
}

Result<FileInfo> lstat_at(int folder_fd, const std::string& name) {
  struct stat st {};
  if (::fstatat(folder_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return fail_os(errno);
  return info_from(st);
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
