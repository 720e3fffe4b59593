#include "desktop/design_space.hpp"

#include <cmath>
#include <limits>

namespace qv {

std::int32_t saturate_to_i32(double value) {
  if (std::isnan(value)) return 0;
  constexpr double lowest = std::numeric_limits<std::int32_t>::min();
  constexpr double highest = std::numeric_limits<std::int32_t>::max();
  if (value <= lowest) return std::numeric_limits<std::int32_t>::min();
  if (value >= highest) return std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(value);
}

std::int32_t round_to_i32(double value) { return saturate_to_i32(std::round(value)); }

FrameSize frame_size(double scale) { return {round_to_i32(kBaseWidth * scale), round_to_i32(kBaseHeight * scale)}; }

BasePoint to_base_point(double x, double y, double scale) {
  return {saturate_to_i32(x / scale), saturate_to_i32(y / scale)};
}

std::int32_t scale_coordinate(std::int32_t base, double scale) { return saturate_to_i32(base * scale); }

}  // namespace qv
