// Opening a log file for appending, as the install journal's event history is
// written.
#pragma once

#include <filesystem>

#include "core/foundations/error.hpp"
#include "platform/fd.hpp"

namespace qv::platform {

// Opens `path` for writing at its end (every write lands after whatever the
// file holds, whoever else appends), creating it with `mode` (before the
// umask) when missing and never truncating it. A symbolic link at `path`
// itself is refused (ELOOP). Other openers may read, write, rename or delete
// the file meanwhile. Fails with the operating-system error. Any thread.
Result<UniqueFd> open_for_append(const std::filesystem::path& path, unsigned mode = 0644);

}  // namespace qv::platform
