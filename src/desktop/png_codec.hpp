// PNG images of 8-bit RGBA in memory: decoding the embedded skin and icons,
// encoding render previews.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/error.hpp"

namespace qv {

struct RgbaImage {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  // Straight (not premultiplied) RGBA, rows top-down, no gap.
  std::vector<std::uint8_t> pixels;
  // Whether the file itself was 8-bit RGBA (colour type 6); other files are
  // converted to RGBA on decoding.
  bool stored_as_rgba8 = false;
};

// Decodes a PNG. An image of more than `max_pixels` pixels is refused before
// its pixels are allocated; decoder errors carry the codec's own message.
Result<RgbaImage> decode_png(std::span<const std::uint8_t> bytes, std::uint64_t max_pixels);

// Encodes width x height straight RGBA pixels (rows top-down) as an 8-bit
// RGBA PNG. Fails when the pixel count does not match or the codec fails.
Result<std::string> encode_png(std::span<const std::uint8_t> rgba, std::uint32_t width, std::uint32_t height);

}  // namespace qv
