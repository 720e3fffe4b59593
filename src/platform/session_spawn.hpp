// Starting a program that outlives its starter in a session of its own: the
// updater started by the launcher, and the launcher started by the updater.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/error.hpp"

namespace qv::platform {

// Starts `program` (an absolute path; no search of PATH) with the argument
// vector `program`, then `args` in order, each reaching the program as one
// argument whatever it holds; in a new session (so it keeps running when its
// starter's terminal or process group goes away); working folder `cwd`;
// standard input, output and error on /dev/null; every other descriptor
// closed; the signal mask cleared and every disposition reset; the
// environment inherited. Returns the child's id as soon as it runs the
// program, or the operating-system error when it could not be started.
//
// The child is not reaped here: until the caller reaps it (or ends, as the
// launcher does right after), its id cannot be reused, so a ProcessHandle
// opened from it names this child and no other. Any thread.
Result<std::uint32_t> spawn_in_new_session(const std::filesystem::path& program, const std::vector<std::string>& args,
                                           const std::filesystem::path& cwd);

// Waits for the child `pid` of this process to end and reaps it. Returns its
// exit code, or nothing when a signal ended it; the operating-system error
// when it is not a child of this process.
Result<std::optional<int>> reap_child(std::uint32_t pid);

}  // namespace qv::platform
