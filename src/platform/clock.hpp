// The system clock.
#pragma once

#include <cstdint>

#include "platform/error.hpp"

namespace qv::platform {

// Whole milliseconds since 1970-01-01 00:00:00 UTC. A clock set before 1970
// fails with "second time provided was later than self".
Result<std::uint64_t> unix_millis();

}  // namespace qv::platform
