// Cutting a window to the visible pixels of its frame. Where no compositing
// manager runs, the server shows a 32-bit window's colour bytes and ignores
// their opacity, so every transparent pixel (the rounded corners, the space
// around the art) would be solid black; the window is then cut with the
// Shape extension to the pixels its frame shows. Internal to src/platform.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "platform/x11_connection.hpp"

namespace qv::platform {

// A pixel of at least this opacity belongs to the cut window; fainter ones
// (the outer half of an anti-aliased edge) would only show as a dark fringe.
inline constexpr std::uint8_t kShapeAlphaThreshold = 128;

// The visible pixels of `bgra` (width x height x 4 bytes, alpha in the fourth
// byte of each pixel), one bit each: rows of (width + 7) / 8 bytes, the first
// pixel of a byte in its lowest bit, as an X bitmap lies in memory. The caller
// passes a frame of the stated size.
std::vector<std::uint8_t> visibility_mask(std::span<const std::uint8_t> bgra, std::int32_t width,
                                          std::int32_t height);

namespace x11 {

// Whether the server offers the Shape extension.
bool has_shape_extension(Connection& connection);
// Cuts `window` to the set bits of `mask` (width x height, as
// visibility_mask makes it), for drawing and for input alike.
void set_bounding_mask(Connection& connection, ::Window window, const std::vector<std::uint8_t>& mask,
                       std::int32_t width, std::int32_t height);
// Gives `window` back its whole rectangle.
void clear_bounding_shape(Connection& connection, ::Window window);

}  // namespace x11
}  // namespace qv::platform
