// Starting a program that the launcher does not wait for.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/error.hpp"

namespace qv::platform {

// Starts `program` (no search of PATH; a relative path is taken from the
// current folder) with the argument vector: `program` made absolute, then
// `args` in order, each one argument; working folder `cwd`; the
// environment and the three standard streams inherited, every other
// descriptor closed in the child, the signal mask cleared and every signal's
// disposition reset to the default. Returns the child's id at once, or the
// operating-system error when the child could not be started (a missing
// program or folder, no permission to execute, ...).
//
// The child is reaped by a detached thread of this process, so it never
// lingers as a zombie while the launcher lives; once the launcher exits, the
// system's reaper adopts it. Any thread.
Result<std::uint32_t> spawn_detached(const std::filesystem::path& program, const std::vector<std::string>& args,
                                     const std::filesystem::path& cwd);

// True when spawn_detached failed because the system cannot execute the
// file's format (a program for another system, with no handler registered).
bool means_exec_format_error(const Error& error);

}  // namespace qv::platform
