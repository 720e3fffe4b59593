#include "platform/clock.hpp"

#include <time.h>

#include <cerrno>

namespace qv::platform {

Result<std::uint64_t> unix_millis() {
  struct timespec ts {};
  if (::clock_gettime(CLOCK_REALTIME, &ts) != 0) return fail_os(errno);
  if (ts.tv_sec < 0) return fail("second time provided was later than self");
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
}

}  // namespace qv::platform
