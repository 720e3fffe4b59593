#include "platform/random.hpp"

#include <sys/random.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace qv::platform {

void random_bytes(void* out, std::size_t size) {
  auto* p = static_cast<unsigned char*>(out);
  while (size > 0) {
    ssize_t n = ::getrandom(p, size, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      std::fputs("fatal: the kernel random source is unavailable\n", stderr);
      std::abort();
    }
    p += n;
    size -= static_cast<std::size_t>(n);
  }
}

}  // namespace qv::platform
