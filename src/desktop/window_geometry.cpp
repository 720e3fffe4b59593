#include "desktop/window_geometry.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "desktop/design_space.hpp"

namespace qv {
namespace {

// min(current, candidate), keeping `current` when the candidate is not a
// number.
double min_of_numbers(double current, double candidate) {
  return std::isnan(candidate) ? current : std::min(current, candidate);
}

std::int32_t clamp_to_i32(std::int64_t value) {
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(value, std::numeric_limits<std::int32_t>::min(),
                                                            std::numeric_limits<std::int32_t>::max()));
}

}  // namespace

double fitted_scale(double dpi, const platform::Monitor* monitor) {
  double scale = dpi / 96.0 * kScaleAt96Dpi;
  if (!monitor) return scale;
  const platform::ScreenRect& work = monitor->work_area;
  scale = min_of_numbers(scale, (static_cast<double>(work.width()) - kWorkAreaMargin) / kBaseWidth);
  scale = min_of_numbers(scale, (static_cast<double>(work.height()) - kWorkAreaMargin) / kBaseHeight);
  // Written so that a scale that is not a number becomes the smallest one.
  return scale > kSmallestScale ? scale : kSmallestScale;
}

std::int32_t keep_inside(std::int64_t value, std::int32_t low, std::int32_t high, std::int32_t size) {
  if (value < low) return low;
  return clamp_to_i32(std::min(value, std::max<std::int64_t>(low, std::int64_t{high} - size)));
}

WindowPosition centred_in(const platform::ScreenRect& area, std::int32_t width, std::int32_t height) {
  const std::int64_t cx = area.left + (area.width() - width) / 2;
  const std::int64_t cy = area.top + (area.height() - height) / 2;
  return {keep_inside(cx, area.left, area.right, width), keep_inside(cy, area.top, area.bottom, height)};
}

}  // namespace qv
