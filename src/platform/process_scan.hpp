// Listing the processes of the system and the names and files they run, read
// from /proc. These reads are snapshots: a process may exit, and its id be
// reused, at any moment after them. Code that acts on a process identifies it
// through a ProcessHandle (process_handle.hpp) instead.
//
// A process whose first thread has exited while others still run keeps its id;
// its /proc entries that need a live thread (the executable, the mappings)
// are then read through one of the others.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.hpp"

namespace qv::platform {

// The ids of every process in /proc, ascending. Fails with the
// operating-system error when /proc cannot be listed. Any thread.
Result<std::vector<std::uint32_t>> list_process_ids();

// The two names a process can be recognised by: the file name of its
// executable (from /proc/<pid>/exe, a " (deleted)" mark removed) and its
// command name (/proc/<pid>/comm). Either is empty when it cannot be read
// (another user's process, a kernel thread, a process that has exited).
struct ProcessNames {
  std::string exe_name;
  std::string command;
};
ProcessNames process_names(std::uint32_t pid);

// A file itself, as opposed to a name of it: the device and inode number.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;

  bool operator==(const FileIdentity&) const = default;
};

// The executable of a process as the kernel reports it. When the file has
// been unlinked since the process started, the kernel appends " (deleted)"
// to the path; `path` has that mark removed and `deleted` is set. `file` is
// the file the process runs, taken through the kernel's link, so it names that
// file even where the path names another one (a process of another mount
// namespace, a file replaced since), with the device as stat(2) reports it.
struct ProcessImage {
  std::filesystem::path path;
  bool deleted = false;
  FileIdentity file;
};

// Reads /proc/<pid>/exe. Fails with the operating-system error of readlink;
// ENOENT for a process that runs no program (a kernel thread, a process that
// has exited).
Result<ProcessImage> read_process_image(std::uint32_t pid);

// A file mapped into a process's memory, as /proc/<pid>/maps shows it: the
// path (mark removed, `deleted` set, as for an executable) and the file, with
// the device of its file system as the kernel shows mappings (which is not
// always what stat(2) says: compare it with mapping_identity).
struct MappedFile {
  std::filesystem::path path;
  bool deleted = false;
  FileIdentity file;
};

// The distinct files mapped into the process, in the order of their first
// mapping's address. Fails with the operating-system error of the read.
Result<std::vector<MappedFile>> read_mapped_files(std::uint32_t pid);

// The identity that a mapping of the file at `path` shows in
// /proc/<pid>/maps: its inode and the device of the file system that holds
// it. Fails with the operating-system error.
Result<FileIdentity> mapping_identity(const std::filesystem::path& path);

// True when the id names a kernel thread, which runs no program of its own.
// Fails with the operating-system error (ENOENT once the id names nothing).
Result<bool> is_kernel_thread(std::uint32_t pid);

// The user ids a process runs with, from /proc/<pid>/status, which anyone may
// read (unlike its executable, its mappings or its descriptors).
struct ProcessUsers {
  std::uint32_t real = 0;
  std::uint32_t effective = 0;
  std::uint32_t saved = 0;
  std::uint32_t filesystem = 0;
};

// Fails with the operating-system error, or EINVAL when the status holds no
// readable user ids.
Result<ProcessUsers> read_process_users(std::uint32_t pid);

// True when none of the ids of `users` is this process's real or effective
// user id: the process belongs to another user.
bool is_another_users(const ProcessUsers& users);

// The inode numbers of the sockets among the process's open descriptors
// (/proc/<pid>/fd), in descriptor order; the same socket held twice is listed
// twice. Fails with the operating-system error (EACCES for a process this
// one may not inspect).
Result<std::vector<std::uint64_t>> read_socket_inodes(std::uint32_t pid);

// The variables among `names` in the environment the process was started
// with (/proc/<pid>/environ; later changes the process made to its own
// environment are not seen). A name that is absent is missing from the map;
// an entry longer than 64 KiB is passed over. Fails with the
// operating-system error of the read.
Result<std::map<std::string, std::string, std::less<>>> read_process_environment(
    std::uint32_t pid, std::span<const std::string_view> names);

}  // namespace qv::platform
