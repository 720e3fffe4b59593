// Reading a whole file once from start to end, as the hashing of client files
// and content objects does, reading many files below one folder, as a check
// of a whole client does, and writing a long file ahead of its flush.
#pragma once

#include <cstddef>
#include <cstdint>
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

// Tells the kernel that `fd` will be read sequentially. Only a hint: a file
// system that ignores it is read just the same.
void advise_sequential(int fd);

// One read(2) into `buffer`: the number of bytes read, 0 at the end of the
// file, or the operating-system error. An interrupted read is not retried.
Result<std::size_t> read_some(int fd, std::span<std::byte> buffer);

// read_some, retried while the read is interrupted by a signal: for a reader
// that must not give up on a file for no fault of the file.
Result<std::size_t> read_some_retrying(int fd, std::span<std::byte> buffer);

// Asks the kernel to start writing `bytes` bytes of `fd` from `offset` to the
// storage device now, without waiting for them, so that a flush at the end
// of a long write finds little left to do. Only a hint: nothing is made
// durable by it, and a file system that ignores it is flushed just the same.
void start_writeback(int fd, std::uint64_t offset, std::uint64_t bytes);

// A handle on the folder `path` (close-on-exec) that serves only as the
// starting point of look-ups below it: it cannot be read or listed. Fails
// with the operating-system error, also when `path` is no folder.
Result<UniqueFd> open_lookup_folder(const std::filesystem::path& path);

// Opens `relative` below the folder handle `folder_fd` read-only
// (close-on-exec), failing with the operating-system error when its last
// component is a symbolic link (ELOOP) or it cannot be opened. The kernel
// walks only the components of `relative`; links among the folders on the way
// are followed, so the caller must have looked at them. Others may read,
// write or delete the file meanwhile.
Result<UniqueFd> open_below_for_reading(int folder_fd, const char* relative);

}  // namespace qv::platform
