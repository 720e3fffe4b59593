// A real attacker for race tests: a process that exchanges two entries of the
// file system (renameat2 with RENAME_EXCHANGE) over and over, as someone who
// may rename entries in a shared install folder could, to swap a checked
// folder for a link between a check and its use.
#pragma once

#include <filesystem>

#include "support/child_process.hpp"

namespace qv::test {

// Starts the exchanging process on `a` and `b` (both must exist; either may be
// a link) and returns once its first exchange went through. It runs until the
// Child is killed or destroyed; fails the calling test when it cannot start.
Child start_exchanging(const std::filesystem::path& a, const std::filesystem::path& b);

}  // namespace qv::test
