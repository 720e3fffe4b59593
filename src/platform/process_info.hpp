// Facts about the running process: its arguments, its executable, its id.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "core/foundations/error.hpp"

namespace qv::platform {

// The process's arguments, argument 0 included, read anew from the kernel at
// each call. An unreadable argument list yields an empty list.
std::vector<std::string> process_arguments();

// The path of the running executable (the link target of /proc/self/exe).
Result<std::filesystem::path> executable_path();

// The process id.
unsigned long process_id();

}  // namespace qv::platform
