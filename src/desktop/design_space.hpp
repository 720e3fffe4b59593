// The design space of the window: 1536 x 1024 base pixels, multiplied by the
// window's scale (window pixels per base pixel) when drawn, and the one set of
// conversions between the two that every desktop module uses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace qv {

inline constexpr std::int32_t kBaseWidth = 1536;
inline constexpr std::int32_t kBaseHeight = 1024;

// A rectangle in base pixels; a point lies in it when left <= x < right and
// top <= y < bottom.
struct Rect {
  std::int32_t left = 0;
  std::int32_t top = 0;
  std::int32_t right = 0;
  std::int32_t bottom = 0;

  bool contains(std::int32_t x, std::int32_t y) const { return left <= x && x < right && top <= y && y < bottom; }
  bool operator==(const Rect&) const = default;
};

struct BasePoint {
  std::int32_t x = 0;
  std::int32_t y = 0;
};

struct FrameSize {
  std::int32_t width = 0;
  std::int32_t height = 0;
};

// A frame being drawn: width x height pixels of 8-bit BGRA premultiplied by
// alpha, rows top-down with no gap (the layout the window presents). Drawing
// functions leave a view whose byte count is not width x height x 4 alone.
struct FrameView {
  std::span<std::uint8_t> pixels;
  std::int32_t width = 0;
  std::int32_t height = 0;

  bool well_formed() const {
    return width >= 0 && height >= 0 &&
           pixels.size() == static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4;
  }
  std::uint8_t* pixel(std::int32_t x, std::int32_t y) const {
    return pixels.data() + (static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)) * 4;
  }
};

// `value` truncated toward zero and saturated to the signed 32-bit range;
// not-a-number gives 0.
std::int32_t saturate_to_i32(double value);
// `value` rounded half away from zero, then saturated as above.
std::int32_t round_to_i32(double value);

// The frame (and background) size for `scale`: 1536 x scale and 1024 x scale,
// each rounded half away from zero and saturated.
FrameSize frame_size(double scale);

// A window point as a base point: each coordinate divided by `scale`,
// truncated toward zero and saturated.
BasePoint to_base_point(double x, double y, double scale);

// A base coordinate in window pixels: multiplied by `scale`, truncated toward
// zero and saturated.
std::int32_t scale_coordinate(std::int32_t base, double scale);

}  // namespace qv
