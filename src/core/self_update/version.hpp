// This launcher's own version: what a release's `min_launcher` is compared
// with, what published launcher-update metadata must exceed to be staged, and
// what a freshly updated launcher reports in its health answer.
#pragma once

#include <cstdint>

namespace qv {

inline constexpr std::uint64_t kLauncherVersion = 4;

}  // namespace qv
