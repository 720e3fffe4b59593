// The launcher's skin and window icons, painted from shapes.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/error.hpp"

namespace qv::art {

// The 1536 x 1024 skin as straight RGBA: the panel with its caption area,
// the crest above it, the progress track, the status strip, the plates under
// the six labelled targets with their emblems, and the two frame buttons,
// laid out on the targets of the window's theme.
Result<std::vector<std::uint8_t>> paint_skin();

// A square window icon of `size` pixels as straight RGBA.
std::vector<std::uint8_t> paint_icon(int size);

}  // namespace qv::art
