// The durability primitives of the platform layer: flushing files and folders
// to disk, renames, removals, copying file contents and the write-lease probe
// that tells whether anyone else holds a file open.
//
// Errors are operating-system errors (Error::os) with no context added. Safe on
// any thread; no state is kept.
#pragma once

#include <cstdint>
#include <filesystem>

#include "platform/error.hpp"

namespace qv::platform {

// fsync(2) of an open descriptor.
Status flush_fd(int fd);

// Opens the folder (following no link, as open_folder) and fsyncs it, so that
// entries created, renamed or removed in it survive a power loss.
Status flush_directory(const std::filesystem::path& folder);

// close(2) of a descriptor this caller owns, reporting a failed close (a
// delayed write error) instead of hiding it. The descriptor is gone either way.
Status close_fd(int fd);

// rename(2): atomically replaces an existing `to`.
Status rename_path(const std::filesystem::path& from, const std::filesystem::path& to);

// unlink(2) of a file or link (never a folder).
Status remove_file(const std::filesystem::path& path);

// Copies everything from `from_fd` (at its current position) to `to_fd`, in
// bounded chunks, letting the kernel share or copy blocks where it can.
Status copy_contents(int from_fd, int to_fd);

// ftruncate(2): cuts or extends the file of `fd` to `size` bytes.
Status truncate_fd(int fd, std::uint64_t size);

// fchmod(2) with the permission bits `mode` (& 07777).
Status set_mode(int fd, std::uint32_t mode);

// True when this process could have write access to `folder` (faccessat with
// the effective ids), which a read-only medium refuses even to root.
Status check_folder_writable(const std::filesystem::path& folder);

// Proves that no other descriptor, in this or any process, has the file of
// `fd` open: a write lease is granted only then. The lease is given back at
// once. EAGAIN or EBUSY means someone else holds the file; a file system that
// cannot grant leases at all, or a file this process may not lease (not its
// owner and no lease capability), passes, since nothing can be learned there.
Status probe_sole_opener(int fd);

}  // namespace qv::platform
