// Facts about the running process: its arguments, its executable, its id.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "platform/error.hpp"

namespace qv::platform {

// The process's arguments, argument 0 included, read anew from the kernel at
// each call; when the kernel's copy cannot be read, the arguments the process
// was started with.
std::vector<std::string> process_arguments();

// The path the running executable was started from (recorded at start, so a
// later rename or removal of the file does not change it).
Result<std::filesystem::path> executable_path();

// The process id.
unsigned long process_id();

}  // namespace qv::platform
