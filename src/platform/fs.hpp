// File-system facilities of the platform layer. Every other module reaches the
// file system through these calls (and the further files of this folder), so a
// second binding could replace them without touching the engine.
//
// All calls return operating-system errors as Error::os (errno kept), never
// throw, and open every descriptor close-on-exec.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/error.hpp"
#include "platform/fd.hpp"

namespace qv::platform {

enum class FileKind { Regular, Directory, Symlink, Other };

struct FileInfo {
  FileKind kind = FileKind::Other;
  std::uint64_t size = 0;
  std::uint32_t mode = 0;  // permission bits (st_mode & 07777)
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint64_t links = 1;  // the number of names the file has (hard links)
  // The root of a mount, where the kernel says so (a bind mount of a folder
  // of the same file system keeps its device; only this tells it apart).
  bool mount_root = false;

  // True when both describe one file (the same inode of the same device).
  bool same_file_as(const FileInfo& other) const { return device == other.device && inode == other.inode; }
};

// True when `entry`, an entry of the folder `folder`, is a mount point:
// another file system (or another mount of the same one) is mounted over it,
// so that whatever is reached through it lies outside the folder's own tree.
// That is the root of a mount, or a folder on another device than `folder`.
// A file's device alone proves nothing: a union file system reports the
// device of the layer that holds the file.
bool is_mount_point(const FileInfo& entry, const FileInfo& folder);

// Metadata of the entry itself; a symbolic link is reported as Symlink.
Result<FileInfo> lstat_path(const std::filesystem::path& path);
// Metadata with links followed.
Result<FileInfo> stat_path(const std::filesystem::path& path);
// Metadata of an open descriptor.
Result<FileInfo> stat_fd(int fd);
// Metadata of the entry `name` of the open folder `folder_fd` itself; a link
// is reported as Symlink.
Result<FileInfo> lstat_at(int folder_fd, const std::string& name);

// The canonical absolute path with every link resolved; the path must exist.
Result<std::filesystem::path> canonicalize(const std::filesystem::path& path);

// The process's current folder.
Result<std::filesystem::path> current_dir();

// Reads a whole (small) file. Fails with "file too large" past `max_bytes`
// without reading further; the size is never taken from the file's metadata.
Result<std::string> read_small_file(const std::filesystem::path& path, std::size_t max_bytes);

// open(2) with O_CLOEXEC added. For the platform layer itself; the engine
// uses the named opens below.
Result<UniqueFd> open_fd(const std::filesystem::path& path, int flags, unsigned mode = 0);

// Opens an existing file for reading; a link at `path` is refused (ELOOP)
// rather than followed.
Result<UniqueFd> open_for_read_no_follow(const std::filesystem::path& path);

// Creates a new file for writing with the permission bits `mode` (under the
// umask). Whatever already stands at `path`, a file or a link, makes the call
// fail (EEXIST), so an existing file is never opened.
Result<UniqueFd> create_new_file(const std::filesystem::path& path, unsigned mode);

// Opens the lock file at `path` for reading and writing, creating it with mode
// 0644 when it is missing; a link at `path` is refused.
Result<UniqueFd> open_or_create_lock_file(const std::filesystem::path& path);

// True when `error` says a lock is held through another open file description
// (what lock_whole_file without waiting reports for a busy lock).
bool is_lock_held_elsewhere(const Error& error);

// The error of a lock that stayed held elsewhere (what is_lock_held_elsewhere
// answers true for), for a caller that gives up retrying.
Error lock_held_elsewhere_error();

// Writes every byte, retrying on EINTR and short writes.
Status write_all(int fd, const void* data, std::size_t size);

// Creates a folder and every missing folder above it, flushing the parent of
// each folder it creates; existing folders are fine. No link is followed on
// the way (ELOOP), as with open_or_create_folder.
Status make_directories(const std::filesystem::path& path);

// Takes an exclusive open-file-description write lock on the whole file.
// With `wait` the call blocks until the lock is granted; without, a lock held
// elsewhere fails at once (EAGAIN). The lock goes with the last descriptor of
// the open file description.
Status lock_whole_file(int fd, bool wait);

// Gives back a lock taken by lock_whole_file on the same open file description.
Status unlock_whole_file(int fd);

}  // namespace qv::platform
