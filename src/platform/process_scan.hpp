// Listing the processes of the system and the names they run under, read
// from /proc. These reads are snapshots: a process may exit, and its id be
// reused, at any moment after them. Code that acts on a process identifies it
// through a ProcessHandle (process_handle.hpp) instead.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "core/foundations/error.hpp"

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

// The executable of a process as the kernel reports it. When the file has
// been unlinked since the process started, the kernel appends " (deleted)"
// to the path; `path` has that mark removed and `deleted` is set.
struct ProcessImage {
  std::filesystem::path path;
  bool deleted = false;
};

// Reads /proc/<pid>/exe. Fails with the operating-system error of readlink.
Result<ProcessImage> read_process_image(std::uint32_t pid);

}  // namespace qv::platform
