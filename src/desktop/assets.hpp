// The assets embedded in the executable at build time.
#pragma once

#include <cstdint>
#include <span>

namespace qv {

// The label font: Cinzel Decorative Bold, a TrueType font (SIL Open Font
// License, assets/fonts/OFL.txt).
std::span<const std::uint8_t> embedded_label_font();

// The skin: a PNG of 1536 x 1024 pixels, 8-bit RGBA, not interlaced.
std::span<const std::uint8_t> embedded_skin_png();

// The window icons: 32-bit PNGs of 16, 20, 24, 32, 40, 48, 64, 96, 128 and
// 256 pixels square, smallest first.
struct EmbeddedIcon {
  std::uint32_t size = 0;
  std::span<const std::uint8_t> png;
};
std::span<const EmbeddedIcon> embedded_icons();

}  // namespace qv
