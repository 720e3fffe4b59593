// The operating system's random source.
#pragma once

#include <cstddef>

namespace qv::platform {

// Fills `out` with `size` bytes from the kernel's random generator. Blocks only
// until the generator is seeded at boot; aborts the process if the kernel
// refuses outright, since every identifier of the system depends on it.
void random_bytes(void* out, std::size_t size);

}  // namespace qv::platform
