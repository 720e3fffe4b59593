// The free-space test made before an install.
#pragma once

#include <cstdint>
#include <filesystem>

#include "platform/error.hpp"

namespace qv {

// The bytes available to the calling user on the volume that holds `path` (a
// quota or a reserve for the superuser counts against it), or "disk space: {}"
// with the operating-system error text. Any thread.
Result<std::uint64_t> free_disk_bytes(const std::filesystem::path& path);

// Passes when `available` covers `needed` (equal passes); otherwise fails with
// "insufficient disk: need {} bytes, available {}; no files removed".
Status check_disk_space(std::uint64_t needed, std::uint64_t available);

// free_disk_bytes for `path` (its error unchanged), then check_disk_space.
Status require_disk_space(const std::filesystem::path& path, std::uint64_t needed);

}  // namespace qv
