#include "platform/folder.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>

namespace qv::platform {
namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr mode_t kNewFolderMode = 0755;

// Set once the kernel or a sandbox has refused openat2 itself: ENOSYS from a
// kernel without it or a filter that hides it, EPERM from a seccomp filter
// that forbids it. The component-by-component walk below gives the same
// guarantee with more calls. (An open of a folder or for reading is never
// refused with EPERM for what it names, so that answer is the filter's.)
std::atomic<bool> g_openat2_missing{false};

bool openat2_refused(int err) { return err == ENOSYS || err == EPERM; }

bool valid_name(std::string_view name) {
  return !name.empty() && name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

bool has_nul(const std::filesystem::path& path) { return path.native().find('\0') != std::string::npos; }

Result<UniqueFd> open_at(int dir_fd, const char* name, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::openat(dir_fd, name, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return fail_os(errno);
  return UniqueFd(fd);
}

// The descriptor must name a regular file: EINVAL otherwise.
Result<UniqueFd> require_regular(UniqueFd fd) {
  if (QV_TRY(stat_fd(fd.get())).kind != FileKind::Regular) return fail_os(EINVAL);
  return fd;
}

// Opens `path` with `flags` (no O_CREAT) through folders only, refusing a link
// on every component: one openat per component, each with O_NOFOLLOW. With
// `create`, each missing folder on the way is made (and the folder holding it
// flushed); `flags` then opens a folder.
Result<UniqueFd> open_by_components(const std::filesystem::path& path, int flags, bool create) {
  // The walk could reach (and make) folders deeper than any path can name,
  // which nothing could touch again: refused as the kernel refuses the path.
  QV_TRY(check_path_length(path));
  const auto normal = path.lexically_normal();
  std::vector<std::string> parts;
  for (const auto& part : normal.relative_path()) {
    if (!part.empty() && part != ".") parts.push_back(part.string());
  }
  auto current = QV_TRY(open_at(AT_FDCWD, normal.is_absolute() ? "/" : ".", kFolderFlags));
  if (parts.empty()) return open_at(current.get(), ".", flags);
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const char* name = parts[i].c_str();
    const int step_flags = i + 1 == parts.size() ? flags | O_NOFOLLOW : kFolderFlags;
    for (;;) {
      auto next = open_at(current.get(), name, step_flags);
      if (next) {
        current = std::move(*next);
        break;
      }
      if (!create || next.error().os_code() != ENOENT) return fail(next.error());
      if (::mkdirat(current.get(), name, kNewFolderMode) == 0) {
        // The new entry lives in its parent: anything written below it later
        // is durable only once the parent is.
        if (::fsync(current.get()) != 0) return fail_os(errno);
      } else if (errno != EEXIST) {
        return fail_os(errno);
      }
    }
  }
  return current;
}

// One resolution of `path` in which no component may be a link.
Result<UniqueFd> open_without_links(const std::filesystem::path& path, int flags) {
  if (has_nul(path) || path.empty()) return fail_os(has_nul(path) ? EINVAL : ENOENT);
  if (!g_openat2_missing.load(std::memory_order_relaxed)) {
    open_how how{};
    how.flags = static_cast<std::uint64_t>(flags | O_CLOEXEC);
    how.resolve = RESOLVE_NO_SYMLINKS;
    for (;;) {
      const long fd = ::syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how);
      if (fd >= 0) return UniqueFd(static_cast<int>(fd));
      if (errno == EINTR) continue;
      if (!openat2_refused(errno)) return fail_os(errno);
      g_openat2_missing.store(true, std::memory_order_relaxed);
      break;
    }
  }
  return open_by_components(path, flags, /*create=*/false);
}

}  // namespace

Result<FileInfo> Folder::info() const { return stat_fd(fd_.get()); }

Result<FileInfo> Folder::entry_info(std::string_view name) const {
  if (!valid_name(name)) return fail_os(EINVAL);
  return lstat_at(fd_.get(), std::string(name));
}

Result<std::optional<FileInfo>> Folder::regular_file_info(std::string_view name) const {
  auto info = entry_info(name);
  if (!info) {
    if (info.error().os_code() == ENOENT) return std::optional<FileInfo>();
    return fail(info.error());
  }
  switch (info->kind) {
    case FileKind::Regular:
      return std::optional<FileInfo>(*info);
    case FileKind::Directory:
      return fail_os(EISDIR);
    case FileKind::Symlink:
      return fail_os(ELOOP);
    case FileKind::Other:
      break;
  }
  return fail_os(EINVAL);
}

Result<Folder> Folder::open_subfolder(std::string_view name) const {
  if (!valid_name(name)) return fail_os(EINVAL);
  return Folder(QV_TRY(open_at(fd_.get(), std::string(name).c_str(), kFolderFlags)));
}

Result<UniqueFd> Folder::create_new_file(std::string_view name, std::uint32_t mode) const {
  if (!valid_name(name)) return fail_os(EINVAL);
  return open_at(fd_.get(), std::string(name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW,
                 static_cast<mode_t>(mode & 07777));
}

Result<AppendFile> Folder::open_for_append(std::string_view name, std::uint32_t mode) const {
  if (!valid_name(name)) return fail_os(EINVAL);
  const std::string n(name);
  constexpr int kFlags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK;
  for (;;) {
    // Mostly the file is there (the log) or mostly it is not (a fresh
    // download): either way one or two calls, and `created` is exact.
    auto existing = open_at(fd_.get(), n.c_str(), kFlags);
    if (existing) return AppendFile{QV_TRY(require_regular(std::move(*existing))), false};
    if (existing.error().os_code() != ENOENT) return fail(existing.error());
    auto created = open_at(fd_.get(), n.c_str(), kFlags | O_CREAT | O_EXCL, static_cast<mode_t>(mode & 07777));
    if (created) return AppendFile{std::move(*created), true};
    if (created.error().os_code() != EEXIST) return fail(created.error());
    // Created by someone else in between: open theirs.
  }
}

Status Folder::check_copy_destination(std::string_view name, const FileInfo& source) const {
  const auto existing = QV_TRY(regular_file_info(name));
  if (existing && existing->same_file_as(source)) return fail_os(EINVAL);
  return {};
}

Result<UniqueFd> Folder::open_for_update(std::string_view name) const {
  if (!valid_name(name)) return fail_os(EINVAL);
  auto fd = QV_TRY(open_at(fd_.get(), std::string(name).c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK));
  return require_regular(std::move(fd));
}

Status Folder::remove_file(std::string_view name) const {
  if (!valid_name(name)) return fail_os(EINVAL);
  if (::unlinkat(fd_.get(), std::string(name).c_str(), 0) != 0) return fail_os(errno);
  return {};
}

Status Folder::remove_folder(std::string_view name) const {
  if (!valid_name(name)) return fail_os(EINVAL);
  if (::unlinkat(fd_.get(), std::string(name).c_str(), AT_REMOVEDIR) != 0) return fail_os(errno);
  return {};
}

Result<std::vector<FolderEntry>> Folder::entries() const {
  // The stream takes a descriptor of its own, so that the folder stays usable.
  const int copy = ::fcntl(fd_.get(), F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return fail_os(errno);
  DIR* dir = ::fdopendir(copy);
  if (dir == nullptr) {
    const int err = errno;
    ::close(copy);
    return fail_os(err);
  }
  // The copy shares the folder's position; a listing always starts afresh.
  ::rewinddir(dir);
  std::vector<FolderEntry> entries;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir);
    if (entry == nullptr) {
      const int err = errno;
      ::closedir(dir);
      if (err != 0) return fail_os(err);
      return entries;
    }
    const std::string_view name(entry->d_name);
    if (name == "." || name == "..") continue;
    std::optional<FileKind> kind;
    switch (entry->d_type) {
      case DT_UNKNOWN:
        break;
      case DT_REG:
        kind = FileKind::Regular;
        break;
      case DT_DIR:
        kind = FileKind::Directory;
        break;
      case DT_LNK:
        kind = FileKind::Symlink;
        break;
      default:
        kind = FileKind::Other;
        break;
    }
    entries.push_back({std::string(name), kind});
  }
}

Result<std::vector<std::string>> Folder::list() const {
  std::vector<std::string> names;
  for (auto& entry : QV_TRY(entries())) names.push_back(std::move(entry.name));
  return names;
}

Status Folder::flush() const {
  if (::fsync(fd_.get()) != 0) return fail_os(errno);
  return {};
}

Status Folder::check_writable() const {
  if (::faccessat(fd_.get(), ".", W_OK, AT_EACCESS) != 0) return fail_os(errno);
  return {};
}

Result<Folder> open_folder(const std::filesystem::path& path) {
  return Folder(QV_TRY(open_without_links(path, kFolderFlags)));
}

Result<Folder> open_or_create_folder(const std::filesystem::path& path) {
  auto whole = open_without_links(path, kFolderFlags);
  if (whole) return Folder(std::move(*whole));
  if (whole.error().os_code() != ENOENT) return fail(whole.error());
  // Something is missing: go down from the top, making what is not there.
  return Folder(QV_TRY(open_by_components(path, kFolderFlags, /*create=*/true)));
}

Result<UniqueFd> open_regular_for_reading(const std::filesystem::path& path) {
  return require_regular(QV_TRY(open_without_links(path, O_RDONLY | O_NONBLOCK)));
}

Status rename_entry(const Folder& from, std::string_view from_name, const Folder& to, std::string_view to_name) {
  if (!valid_name(from_name) || !valid_name(to_name)) return fail_os(EINVAL);
  if (::renameat(from.fd(), std::string(from_name).c_str(), to.fd(), std::string(to_name).c_str()) != 0)
    return fail_os(errno);
  return {};
}

bool is_link_refusal(const Error& error) { return error.os_code() == ELOOP; }

Status check_path_length(const std::filesystem::path& path) {
  if (path.native().size() >= PATH_MAX) return fail_os(ENAMETOOLONG);
  return {};
}

std::optional<EntryPath> split_entry_path(const std::filesystem::path& absolute) {
  auto normal = absolute.lexically_normal();
  if (!normal.has_filename()) normal = normal.parent_path();  // a trailing "/"
  if (normal.relative_path().empty() || !normal.has_filename()) return std::nullopt;
  return EntryPath{normal.parent_path(), normal.filename().string()};
}

}  // namespace qv::platform
