// Reading a whole file once from start to end, as the hashing of client files
// and content objects does.
#pragma once

#include <cstddef>
#include <filesystem>
#include <span>

#include "platform/error.hpp"
#include "platform/fd.hpp"

namespace qv::platform {

// Opens an existing file read-only (close-on-exec) and tells the kernel it will
// be read sequentially, so read-ahead runs wide. Other openers may read, write,
// rename or delete it meanwhile. Fails with the operating-system error.
// Any thread may call it.
Result<UniqueFd> open_sequential_read(const std::filesystem::path& path);

// One read(2) into `buffer`: the number of bytes read, 0 at the end of the
// file, or the operating-system error. An interrupted read is not retried.
Result<std::size_t> read_some(int fd, std::span<std::byte> buffer);

}  // namespace qv::platform
