// The process's environment and its immediate end.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace qv::platform {

// The current value of an environment variable, read afresh at each call;
// nothing when it is unset. Its bytes are returned as they are.
std::optional<std::string> environment_variable(std::string_view name);

// True when `path` leads (links followed) to a regular file this process may
// execute.
bool is_executable_file(const std::filesystem::path& path);

// The first executable regular file named `name` in the folders of PATH
// (read afresh; a login shell's default when unset), as a shell finds a
// command; folders given by a relative path (an empty entry included) are
// passed over, so the current folder is never searched. Nothing when none.
std::optional<std::filesystem::path> find_program_on_path(std::string_view name);

// Ends the process at once with `code`: no unwinding, no atexit handlers, no
// flushing of standard streams. The system closes every descriptor.
[[noreturn]] void exit_immediately(int code);

}  // namespace qv::platform
