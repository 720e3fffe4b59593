// Folders held open by descriptor, and the entry operations made relative to
// them.
//
// A path is resolved once, when its folder is opened, and never again: every
// later create, open, rename, removal, listing and flush names an entry of a
// folder already held. No symbolic link is followed on the way to a folder or
// to an entry, so a folder exchanged for a link between a check and the use
// cannot send a write anywhere else: the open fails (ELOOP), or the operation
// acts on the folder that was opened, wherever it has been moved since.
//
// Entry names are single components; an empty name or one holding "/" or a
// NUL fails with EINVAL. Errors are operating-system errors (Error::os) with no
// context added; every descriptor is close-on-exec. Safe on any thread; one
// Folder may serve several threads at once.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.hpp"
#include "platform/fd.hpp"
#include "platform/fs.hpp"

namespace qv::platform {

// A file opened for appending, and whether this open created it (its folder
// entry is then new, and durable only once the folder is flushed).
struct AppendFile {
  UniqueFd fd;
  bool created = false;
};

// One name of a folder listing, with the kind of entry the listing gave
// (nothing where the file system does not say).
struct FolderEntry {
  std::string name;
  std::optional<FileKind> kind;
};

class Folder {
 public:
  Folder() = default;
  explicit Folder(UniqueFd fd) : fd_(std::move(fd)) {}

  explicit operator bool() const { return static_cast<bool>(fd_); }
  int fd() const { return fd_.get(); }

  // Metadata of the folder itself.
  Result<FileInfo> info() const;
  // Metadata of the entry `name` itself; a link is reported as Symlink.
  Result<FileInfo> entry_info(std::string_view name) const;
  // The metadata of the regular file `name`, nothing when there is no such
  // entry. A folder fails with EISDIR, a link with ELOOP, anything else that
  // is not a regular file (a pipe, a device, a socket) with EINVAL.
  Result<std::optional<FileInfo>> regular_file_info(std::string_view name) const;

  // The subfolder `name` ("." for this folder again, ".." for the one above):
  // ELOOP for a link, ENOTDIR for anything else.
  Result<Folder> open_subfolder(std::string_view name) const;

  // Creates `name` as a new file open for writing; any existing entry of that
  // name, a link included, fails with EEXIST.
  Result<UniqueFd> create_new_file(std::string_view name, std::uint32_t mode) const;
  // Opens the regular file `name` for appending, creating it with `mode` when
  // missing. Never blocks: a pipe without a reader fails with ENXIO, any other
  // entry that is not a regular file with EINVAL (EISDIR for a folder, ELOOP
  // for a link).
  Result<AppendFile> open_for_append(std::string_view name, std::uint32_t mode) const;
  // Whether `name` may be replaced by a copy of the file `source`: it is
  // missing, or a regular file other than `source` itself (a second name of
  // the source would be replaced by a copy of itself). EISDIR for a folder,
  // ELOOP for a link, EINVAL for anything else or for `source`.
  Status check_copy_destination(std::string_view name, const FileInfo& source) const;
  // Opens the existing regular file `name` for reading and writing, without
  // blocking; a program running from it fails with ETXTBSY, anything that is
  // not a regular file with EINVAL.
  Result<UniqueFd> open_for_update(std::string_view name) const;

  // unlink(2) of the file or link `name` (never a folder).
  Status remove_file(std::string_view name) const;
  // rmdir(2) of the empty folder `name`.
  Status remove_folder(std::string_view name) const;
  // The entries of the folder (without "." and ".."), in the order the system
  // lists them; each listing starts from the first entry.
  Result<std::vector<FolderEntry>> entries() const;
  // The names alone.
  Result<std::vector<std::string>> list() const;
  // fsync(2) of the folder: entries created, renamed or removed in it survive
  // a power loss.
  Status flush() const;
  // Whether this process may create and remove entries here (its effective
  // ids); a read-only medium refuses even root.
  Status check_writable() const;

 private:
  UniqueFd fd_;
};

// Opens the folder at `path` (relative paths start at the current folder).
// Every component must be a folder and none may be a link: ELOOP when one is a
// link, ENOTDIR when one is something else, ENOENT when one is missing,
// ENAMETOOLONG for a path longer than the kernel takes. Where openat2 is
// refused (ENOSYS, or EPERM from a sandbox) the folders are walked one by one,
// with the same answers.
Result<Folder> open_folder(const std::filesystem::path& path);

// Like open_folder, creating each missing folder on the way (mode 0755 under
// the umask) and flushing the folder that holds each one it creates, so that a
// record written below it later is durable once its own flush is.
Result<Folder> open_or_create_folder(const std::filesystem::path& path);

// Opens the existing regular file at `path` for reading, following no link on
// the way (ELOOP) and never blocking: anything that is not a regular file
// fails with EINVAL.
Result<UniqueFd> open_regular_for_reading(const std::filesystem::path& path);

// renameat(2): moves entry `from_name` of `from` to `to_name` in `to`,
// atomically replacing an existing entry there. Links are moved as entries.
Status rename_entry(const Folder& from, std::string_view from_name, const Folder& to, std::string_view to_name);

// True when `error` is the refusal of a link on the way of an open (ELOOP).
bool is_link_refusal(const Error& error);

// ENAMETOOLONG when `path` is longer than the kernel takes a path (PATH_MAX
// bytes with the terminating NUL). An entry made there, through folders held
// open, could never be named again: every later step by path would fail.
Status check_path_length(const std::filesystem::path& path);

// The entry a path names: the folder that holds it and its name there, the
// path taken lexically (".", ".." and a trailing "/" folded). The root of the
// file system names no entry.
struct EntryPath {
  std::filesystem::path folder;
  std::string name;
};
std::optional<EntryPath> split_entry_path(const std::filesystem::path& absolute);

}  // namespace qv::platform
