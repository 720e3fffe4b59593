// Free space of a volume, as the calling user can use it.
#pragma once

#include <cstdint>
#include <filesystem>

#include "platform/error.hpp"

namespace qv::platform {

// The bytes the calling user may still allocate on the volume that holds
// `path` (blocks available to unprivileged users times the fragment size, so
// a reserve kept for the superuser is not counted). Any thread. Fails with the
// operating-system error of statvfs.
Result<std::uint64_t> available_disk_bytes(const std::filesystem::path& path);

}  // namespace qv::platform
