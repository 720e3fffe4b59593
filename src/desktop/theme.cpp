#include "desktop/theme.hpp"

#include <algorithm>
#include <cmath>

namespace qv {
namespace {

constexpr std::size_t kSkinBytes = std::size_t{kBaseWidth} * kBaseHeight * 4;

// The track as a rounded rectangle.
constexpr double kTrackCentreX = 756.5;
constexpr double kTrackCentreY = 629.0;
constexpr double kTrackHalfWidth = 365.5;
constexpr double kTrackHalfHeight = 13.0;

// The sweep: a segment of 120 base pixels moving at 220 a second over the
// first 611 pixels of the track, so that its right end reaches the track end.
constexpr double kSweepLength = 120.0;
constexpr double kSweepSpeed = 220.0;
constexpr double kSweepPeriodPixels = 611.0;

// The glow colour, straight RGB.
constexpr double kGlowRed = 255.0;
constexpr double kGlowGreen = 207.0;
constexpr double kGlowBlue = 68.0;

std::uint8_t to_byte(double value) {
  const double rounded = std::round(value);
  if (!(rounded > 0.0)) return 0;  // negative and not-a-number
  if (rounded >= 255.0) return 255;
  return static_cast<std::uint8_t>(rounded);
}

// A half-open range of pixel indices.
struct Span {
  std::int32_t begin = 0;
  std::int32_t end = 0;
};

// The pixels from trunc(low x scale) to trunc(ceil(high x scale)), clipped
// to 0..limit.
Span pixel_span(double low, double high, double scale, std::int32_t limit) {
  return {std::max(0, saturate_to_i32(low * scale)), std::min(limit, saturate_to_i32(std::ceil(high * scale)))};
}

}  // namespace

std::optional<std::int32_t> hit_test(std::int32_t x, std::int32_t y) {
  for (std::size_t i = 0; i < TARGETS.size(); ++i) {
    if (TARGETS[i].button.contains(x, y) || TARGETS[i].emblem.contains(x, y)) return static_cast<std::int32_t>(i);
  }
  return std::nullopt;
}

double rounded_rect_distance(double px, double py, double cx, double cy, double hx, double hy, double r) {
  const double qx = std::abs(px - cx) - hx + r;
  const double qy = std::abs(py - cy) - hy + r;
  return std::hypot(std::max(qx, 0.0), std::max(qy, 0.0)) + std::min(std::max(qx, qy), 0.0) - r;
}

std::vector<std::uint8_t> scale_skin(std::span<const std::uint8_t> skin, std::int32_t width, std::int32_t height) {
  if (width <= 0 || height <= 0) return {};
  std::vector<std::uint8_t> out(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4, 0);
  if (skin.size() != kSkinBytes) return out;

  // The horizontal sampling is the same for every row: work it out once.
  struct Column {
    std::size_t x0, x1;
    double fx;
  };
  std::vector<Column> columns(static_cast<std::size_t>(width));
  for (std::int32_t j = 0; j < width; ++j) {
    const double sx = std::clamp((j + 0.5) * kBaseWidth / width - 0.5, 0.0, double{kBaseWidth - 1});
    const auto x0 = static_cast<std::size_t>(sx);
    columns[static_cast<std::size_t>(j)] = {x0, std::min<std::size_t>(x0 + 1, kBaseWidth - 1), sx - static_cast<double>(x0)};
  }

  std::uint8_t* dst = out.data();
  for (std::int32_t i = 0; i < height; ++i) {
    const double sy = std::clamp((i + 0.5) * kBaseHeight / height - 0.5, 0.0, double{kBaseHeight - 1});
    const auto y0 = static_cast<std::size_t>(sy);
    const std::size_t y1 = std::min<std::size_t>(y0 + 1, kBaseHeight - 1);
    const double fy = sy - static_cast<double>(y0);
    const std::uint8_t* row0 = skin.data() + y0 * kBaseWidth * 4;
    const std::uint8_t* row1 = skin.data() + y1 * kBaseWidth * 4;
    for (const Column& c : columns) {
      const std::uint8_t* p[4] = {row0 + c.x0 * 4, row0 + c.x1 * 4, row1 + c.x0 * 4, row1 + c.x1 * 4};
      const double w[4] = {(1 - fy) * (1 - c.fx), (1 - fy) * c.fx, fy * (1 - c.fx), fy * c.fx};
      double red = 0.0, green = 0.0, blue = 0.0, alpha = 0.0;
      for (int k = 0; k < 4; ++k) {
        const double a = p[k][3];
        red += (p[k][0] * a / 255.0) * w[k];
        green += (p[k][1] * a / 255.0) * w[k];
        blue += (p[k][2] * a / 255.0) * w[k];
        alpha += w[k] * a;
      }
      dst[0] = to_byte(blue);
      dst[1] = to_byte(green);
      dst[2] = to_byte(red);
      dst[3] = to_byte(alpha);
      dst += 4;
    }
  }
  return out;
}

void draw_progress_bar(FrameView frame, double scale, std::optional<double> ratio,
                       std::optional<double> sweep_seconds) {
  if (!frame.well_formed()) return;
  double fill_begin = 0.0;
  double fill_end = 0.0;
  const double track_left = kProgressTrack.left;
  if (ratio) {
    fill_begin = track_left;
    fill_end = track_left + (kProgressTrack.right - kProgressTrack.left) * std::clamp(*ratio, 0.0, 1.0);
  } else if (sweep_seconds) {
    const double m = std::fmod(kSweepSpeed * *sweep_seconds, kSweepPeriodPixels);
    fill_begin = track_left + m;
    fill_end = track_left + m + kSweepLength;
  } else {
    return;
  }

  const Span rows = pixel_span(kProgressTrack.top, kProgressTrack.bottom, scale, frame.height);
  const Span cols = pixel_span(kProgressTrack.left, kProgressTrack.right, scale, frame.width);
  for (std::int32_t i = rows.begin; i < rows.end; ++i) {
    const double by = (i + 0.5) / scale;
    const double shade = 45.0 * (1.0 - (by - kProgressTrack.top) / 26.0);
    for (std::int32_t k = cols.begin; k < cols.end; ++k) {
      const double bx = (k + 0.5) / scale;
      // The interval includes its start and excludes its end.
      if (!(bx >= fill_begin && bx < fill_end)) continue;
      if (rounded_rect_distance(bx, by, kTrackCentreX, kTrackCentreY, kTrackHalfWidth, kTrackHalfHeight,
                                kCornerRadius) > 0.0) {
        continue;
      }
      const double stripe = static_cast<std::int64_t>((bx + by) * 0.08) % 2 == 0 ? 10.0 : 0.0;
      std::uint8_t* px = frame.pixel(k, i);
      const double a = px[3] / 255.0;
      px[0] = to_byte((0.4 * shade + 8.0) * a);
      px[1] = to_byte((shade + 165.0 + stripe) * a);
      px[2] = to_byte((shade + 55.0 + stripe) * a);
    }
  }
}

void draw_glow(FrameView frame, double scale, std::int32_t index) {
  if (!frame.well_formed() || index < 0 || index >= static_cast<std::int32_t>(TARGETS.size())) return;
  const Rect& b = TARGETS[static_cast<std::size_t>(index)].button;
  const double cx = (b.left + b.right) / 2.0;
  const double cy = (b.top + b.bottom) / 2.0;
  const double hx = (b.right - b.left) / 2.0;
  const double hy = (b.bottom - b.top) / 2.0;
  const Span rows = pixel_span(b.top - kGlowMargin, b.bottom + kGlowMargin, scale, frame.height);
  const Span cols = pixel_span(b.left - kGlowMargin, b.right + kGlowMargin, scale, frame.width);
  for (std::int32_t i = rows.begin; i < rows.end; ++i) {
    const double by = (i + 0.5) / scale;
    for (std::int32_t k = cols.begin; k < cols.end; ++k) {
      const double bx = (k + 0.5) / scale;
      const double d = rounded_rect_distance(bx, by, cx, cy, hx, hy, kCornerRadius);
      const double intensity = d > 0.0 ? 0.65 * std::exp(-d / 6.0) : 0.07 + 0.78 * std::exp(-std::abs(d) / 3.0);
      const double k_mix = std::min(intensity, 0.9);
      std::uint8_t* px = frame.pixel(k, i);
      const double a = px[3] / 255.0;
      px[0] = to_byte(a * kGlowBlue * k_mix + px[0] * (1.0 - k_mix));
      px[1] = to_byte(a * kGlowGreen * k_mix + px[1] * (1.0 - k_mix));
      px[2] = to_byte(a * kGlowRed * k_mix + px[2] * (1.0 - k_mix));
    }
  }
}

}  // namespace qv
