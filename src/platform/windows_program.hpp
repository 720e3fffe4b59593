// Windows programs on this system: telling one by its file, and the Wine
// loader that runs it where the kernel has no handler registered for it.
#pragma once

#include <filesystem>
#include <optional>

#include "platform/error.hpp"

namespace qv::platform {

// True when the file at `path` is a Windows program: a PE image, which begins
// with "MZ" and holds the signature "PE\0\0" at the offset its header names
// (within the first MiB). Reads two small pieces of the file; fails with the
// operating-system error when it cannot be read.
Result<bool> is_windows_program(const std::filesystem::path& path);

// The Wine loader: WINELOADER when it names an executable regular file by an
// absolute path, else `wine` from PATH (find_program_on_path); nothing when
// neither is found.
std::optional<std::filesystem::path> find_wine_loader();

}  // namespace qv::platform
