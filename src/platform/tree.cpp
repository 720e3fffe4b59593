#include "platform/tree.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

namespace qv::platform {
namespace {

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// An open folder stream that owns its descriptor.
class DirStream {
 public:
  explicit DirStream(DIR* dir) : dir_(dir) {}
  DirStream(const DirStream&) = delete;
  DirStream& operator=(const DirStream&) = delete;
  DirStream(DirStream&& other) noexcept : dir_(other.dir_) { other.dir_ = nullptr; }
  DirStream& operator=(DirStream&&) = delete;
  ~DirStream() {
    if (dir_ != nullptr) ::closedir(dir_);
  }
  int fd() const { return ::dirfd(dir_); }

  // The next name, or an empty string at the end; "." and ".." are skipped.
  Result<std::string> next() {
    for (;;) {
      errno = 0;
      const dirent* entry = ::readdir(dir_);
      if (entry == nullptr) {
        if (errno != 0) return fail_os(errno);
        return std::string();
      }
      const std::string_view name(entry->d_name);
      if (name == "." || name == "..") continue;
      return std::string(name);
    }
  }

 private:
  DIR* dir_;
};

Result<int> open_dir_at(int parent_fd, const char* name) {
  int fd;
  do {
    fd = ::openat(parent_fd, name, kDirFlags);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return fail_os(errno);
  return fd;
}

Result<DirStream> open_stream(int fd) {
  DIR* dir = ::fdopendir(fd);
  if (dir == nullptr) {
    const int err = errno;
    ::close(fd);
    return fail_os(err);
  }
  return Result<DirStream>(std::in_place, dir);
}

Result<FileKind> kind_at(int dir_fd, const char* name) {
  struct stat st {};
  if (::fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return fail_os(errno);
  if (S_ISLNK(st.st_mode)) return FileKind::Symlink;
  if (S_ISDIR(st.st_mode)) return FileKind::Directory;
  if (S_ISREG(st.st_mode)) return FileKind::Regular;
  return FileKind::Other;
}

Status walk_below(int dir_fd, const std::filesystem::path& dir_path, const TreeVisitor& visit) {
  auto stream = QV_TRY(open_stream(dir_fd));
  for (;;) {
    const std::string name = QV_TRY(stream.next());
    if (name.empty()) return {};
    const auto kind = QV_TRY(kind_at(stream.fd(), name.c_str()));
    const auto child_path = dir_path / name;
    QV_TRY(visit(child_path, kind));
    if (kind == FileKind::Directory) {
      const int child_fd = QV_TRY(open_dir_at(stream.fd(), name.c_str()));
      QV_TRY(walk_below(child_fd, child_path, visit));
    }
  }
}

// Empties the folder open as `dir_fd` (which this call takes over).
Status empty_dir(int dir_fd) {
  auto stream = QV_TRY(open_stream(dir_fd));
  for (;;) {
    const std::string name = QV_TRY(stream.next());
    if (name.empty()) return {};
    const auto kind = QV_TRY(kind_at(stream.fd(), name.c_str()));
    if (kind == FileKind::Directory) {
      const int child_fd = QV_TRY(open_dir_at(stream.fd(), name.c_str()));
      QV_TRY(empty_dir(child_fd));
      if (::unlinkat(stream.fd(), name.c_str(), AT_REMOVEDIR) != 0) return fail_os(errno);
    } else if (::unlinkat(stream.fd(), name.c_str(), 0) != 0) {
      return fail_os(errno);
    }
  }
}

}  // namespace

Status walk_tree_no_follow(const std::filesystem::path& root, const TreeVisitor& visit) {
  const auto root_info = QV_TRY(lstat_path(root));
  QV_TRY(visit(root, root_info.kind));
  if (root_info.kind != FileKind::Directory) return {};
  const int fd = QV_TRY(open_dir_at(AT_FDCWD, root.c_str()));
  return walk_below(fd, root, visit);
}

Status remove_tree_no_follow(const std::filesystem::path& path) {
  const auto info = QV_TRY(lstat_path(path));
  if (info.kind != FileKind::Directory) {
    if (::unlink(path.c_str()) != 0) return fail_os(errno);
    return {};
  }
  const int fd = QV_TRY(open_dir_at(AT_FDCWD, path.c_str()));
  QV_TRY(empty_dir(fd));
  if (::rmdir(path.c_str()) != 0) return fail_os(errno);
  return {};
}

Result<std::vector<std::string>> list_directory(const std::filesystem::path& path) {
  const int fd = QV_TRY(open_dir_at(AT_FDCWD, path.c_str()));
  auto stream = QV_TRY(open_stream(fd));
  std::vector<std::string> names;
  for (;;) {
    std::string name = QV_TRY(stream.next());
    if (name.empty()) return names;
    names.push_back(std::move(name));
  }
}

}  // namespace qv::platform
