// Where the window goes and how large it is drawn: the scale for a display's
// dots per inch on a monitor, and the window's position kept inside the
// monitor's work area. Pure functions; any thread.
#pragma once

#include <cstdint>

#include "platform/display_info.hpp"

namespace qv {

// The window's scale at 96 dots per inch: 1536 x 1024 base pixels drawn at
// 960 x 640.
inline constexpr double kScaleAt96Dpi = 0.625;
// The room kept free around the window on a small work area, in pixels.
inline constexpr double kWorkAreaMargin = 32.0;
inline constexpr double kSmallestScale = 0.1;

// dpi / 96 x 0.625; on a known monitor limited so the window fits its work
// area less 32 pixels each way (a limit that is not a number is passed over),
// but never below 0.1. Without a monitor, the first value unlimited.
double fitted_scale(double dpi, const platform::Monitor* monitor);

// One coordinate of a window `size` pixels long kept inside [low, high): low
// when below it, else at most high - size (but never below low).
std::int32_t keep_inside(std::int64_t value, std::int32_t low, std::int32_t high, std::int32_t size);

// The top-left corner of a width x height window centred in `area` (the
// halving truncated toward zero), kept inside it.
struct WindowPosition {
  std::int32_t x = 0;
  std::int32_t y = 0;
  bool operator==(const WindowPosition&) const = default;
};
WindowPosition centred_in(const platform::ScreenRect& area, std::int32_t width, std::int32_t height);

}  // namespace qv
