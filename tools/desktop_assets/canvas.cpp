#include "canvas.hpp"

#include <algorithm>
#include <cmath>

namespace qv::art {

Colour rgb(std::uint32_t hex, float alpha) {
  return {((hex >> 16) & 0xFF) / 255.0f, ((hex >> 8) & 0xFF) / 255.0f, (hex & 0xFF) / 255.0f, alpha};
}

Colour mix(Colour a, Colour b, float t) {
  return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t, a.a + (b.a - a.a) * t};
}

Colour ramp(std::span<const Stop> stops, float t) {
  if (t <= stops.front().at) return stops.front().colour;
  for (std::size_t i = 1; i < stops.size(); ++i) {
    if (t <= stops[i].at) {
      const float span = stops[i].at - stops[i - 1].at;
      return mix(stops[i - 1].colour, stops[i].colour, span > 0 ? (t - stops[i - 1].at) / span : 1.0f);
    }
  }
  return stops.back().colour;
}

Canvas::Canvas(int width, int height)
    : width_(width), height_(height), pixels_(static_cast<std::size_t>(width) * height * 4, 0.0f) {}

void Canvas::over(int x, int y, Colour c, float coverage) {
  float* p = &pixels_[(static_cast<std::size_t>(y) * width_ + x) * 4];
  const float a = std::clamp(c.a * coverage, 0.0f, 1.0f);
  p[0] = c.r * a + p[0] * (1 - a);
  p[1] = c.g * a + p[1] * (1 - a);
  p[2] = c.b * a + p[2] * (1 - a);
  p[3] = a + p[3] * (1 - a);
}

namespace {
struct IntBox {
  int x0, y0, x1, y1;
};
IntBox clip(const Box& b, int w, int h) {
  return {std::max(0, static_cast<int>(std::floor(b.left))), std::max(0, static_cast<int>(std::floor(b.top))),
          std::min(w, static_cast<int>(std::ceil(b.right))), std::min(h, static_cast<int>(std::ceil(b.bottom)))};
}
}  // namespace

void Canvas::fill(const Box& bounds, const Sdf& shape, const Paint& paint, float feather) {
  const IntBox b = clip(bounds, width_, height_);
  for (int y = b.y0; y < b.y1; ++y) {
    for (int x = b.x0; x < b.x1; ++x) {
      const float fx = x + 0.5f, fy = y + 0.5f;
      const float d = shape(fx, fy);
      const float coverage = std::clamp(0.5f - d / feather, 0.0f, 1.0f);
      if (coverage <= 0.0f) continue;
      over(x, y, paint(fx, fy), coverage);
    }
  }
}

void Canvas::shadow(const Box& bounds, const Sdf& shape, float radius, float dx, float dy, Colour colour) {
  const Box area = grow(bounds, radius * 2 + std::max(std::abs(dx), std::abs(dy)));
  const IntBox b = clip(area, width_, height_);
  const int w = b.x1 - b.x0, h = b.y1 - b.y0;
  if (w <= 0 || h <= 0) return;
  std::vector<float> mask(static_cast<std::size_t>(w) * h, 0.0f);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const float d = shape(b.x0 + x + 0.5f - dx, b.y0 + y + 0.5f - dy);
      mask[static_cast<std::size_t>(y) * w + x] = std::clamp(0.5f - d, 0.0f, 1.0f);
    }
  }
  // Three box blurs approximate a Gaussian.
  const int r = std::max(1, static_cast<int>(radius / 2));
  std::vector<float> tmp(mask.size());
  for (int pass = 0; pass < 3; ++pass) {
    for (int y = 0; y < h; ++y) {
      float sum = 0;
      for (int x = -r; x <= r; ++x) sum += mask[static_cast<std::size_t>(y) * w + std::clamp(x, 0, w - 1)];
      for (int x = 0; x < w; ++x) {
        tmp[static_cast<std::size_t>(y) * w + x] = sum / (2 * r + 1);
        sum += mask[static_cast<std::size_t>(y) * w + std::min(x + r + 1, w - 1)];
        sum -= mask[static_cast<std::size_t>(y) * w + std::max(x - r, 0)];
      }
    }
    for (int x = 0; x < w; ++x) {
      float sum = 0;
      for (int y = -r; y <= r; ++y) sum += tmp[static_cast<std::size_t>(std::clamp(y, 0, h - 1)) * w + x];
      for (int y = 0; y < h; ++y) {
        mask[static_cast<std::size_t>(y) * w + x] = sum / (2 * r + 1);
        sum += tmp[static_cast<std::size_t>(std::min(y + r + 1, h - 1)) * w + x];
        sum -= tmp[static_cast<std::size_t>(std::max(y - r, 0)) * w + x];
      }
    }
  }
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const float m = mask[static_cast<std::size_t>(y) * w + x];
      if (m > 0.001f) over(b.x0 + x, b.y0 + y, colour, m);
    }
  }
}

void Canvas::grain(float amount, std::uint32_t seed) {
  for (int y = 0; y < height_; ++y) {
    for (int x = 0; x < width_; ++x) {
      float* p = &pixels_[(static_cast<std::size_t>(y) * width_ + x) * 4];
      if (p[3] <= 0.0f) continue;
      const float n = value_noise(x + 0.5f, y + 0.5f, 1.3f, seed) * 0.6f + value_noise(x + 0.5f, y + 0.5f, 5.0f, seed + 7) * 0.4f;
      const float f = 1.0f + amount * (n * 2.0f - 1.0f);
      for (int c = 0; c < 3; ++c) p[c] = std::clamp(p[c] * f, 0.0f, p[3]);
    }
  }
}

std::vector<std::uint8_t> Canvas::to_rgba8() const {
  std::vector<std::uint8_t> out(pixels_.size());
  for (std::size_t i = 0; i < pixels_.size(); i += 4) {
    const float a = pixels_[i + 3];
    const auto byte = [](float v) { return static_cast<std::uint8_t>(std::lround(std::clamp(v, 0.0f, 1.0f) * 255.0f)); };
    out[i + 3] = byte(a);
    for (int c = 0; c < 3; ++c) out[i + c] = a > 0.0f ? byte(pixels_[i + c] / a) : 0;
  }
  return out;
}

float sd_round_rect(float x, float y, const Box& box, float radius) {
  const float cx = (box.left + box.right) / 2, cy = (box.top + box.bottom) / 2;
  const float hx = (box.right - box.left) / 2, hy = (box.bottom - box.top) / 2;
  const float qx = std::abs(x - cx) - hx + radius, qy = std::abs(y - cy) - hy + radius;
  return std::hypot(std::max(qx, 0.0f), std::max(qy, 0.0f)) + std::min(std::max(qx, qy), 0.0f) - radius;
}

float sd_circle(float x, float y, float cx, float cy, float radius) { return std::hypot(x - cx, y - cy) - radius; }

float sd_segment(float x, float y, float ax, float ay, float bx, float by, float radius) {
  const float px = x - ax, py = y - ay, ex = bx - ax, ey = by - ay;
  const float h = std::clamp((px * ex + py * ey) / (ex * ex + ey * ey), 0.0f, 1.0f);
  return std::hypot(px - ex * h, py - ey * h) - radius;
}

float sd_polygon(float x, float y, std::span<const Point> v) {
  float d = (x - v[0].x) * (x - v[0].x) + (y - v[0].y) * (y - v[0].y);
  float s = 1.0f;
  for (std::size_t i = 0, j = v.size() - 1; i < v.size(); j = i, ++i) {
    const float ex = v[j].x - v[i].x, ey = v[j].y - v[i].y;
    const float wx = x - v[i].x, wy = y - v[i].y;
    const float h = std::clamp((wx * ex + wy * ey) / (ex * ex + ey * ey), 0.0f, 1.0f);
    const float bx = wx - ex * h, by = wy - ey * h;
    d = std::min(d, bx * bx + by * by);
    const bool c1 = y >= v[i].y, c2 = y < v[j].y, c3 = ex * wy > ey * wx;
    if ((c1 && c2 && c3) || (!c1 && !c2 && !c3)) s = -s;
  }
  return s * std::sqrt(d);
}

namespace {
float hash(int x, int y, std::uint32_t seed) {
  std::uint32_t h = static_cast<std::uint32_t>(x) * 374761393u + static_cast<std::uint32_t>(y) * 668265263u + seed * 2246822519u;
  h = (h ^ (h >> 13)) * 1274126177u;
  h ^= h >> 16;
  return static_cast<float>(h & 0xFFFFFF) / static_cast<float>(0xFFFFFF);
}
}  // namespace

float value_noise(float x, float y, float cell, std::uint32_t seed) {
  const float gx = x / cell, gy = y / cell;
  const int ix = static_cast<int>(std::floor(gx)), iy = static_cast<int>(std::floor(gy));
  const float fx = gx - ix, fy = gy - iy;
  const float sx = fx * fx * (3 - 2 * fx), sy = fy * fy * (3 - 2 * fy);
  const float a = hash(ix, iy, seed), b = hash(ix + 1, iy, seed), c = hash(ix, iy + 1, seed), d = hash(ix + 1, iy + 1, seed);
  return (a + (b - a) * sx) + ((c + (d - c) * sx) - (a + (b - a) * sx)) * sy;
}

Box grow(const Box& box, float by) { return {box.left - by, box.top - by, box.right + by, box.bottom + by}; }

Paint bevel(const Sdf& shape, Paint base, float width, float strength) {
  return [shape, base = std::move(base), width, strength](float x, float y) {
    Colour c = base(x, y);
    const float d = shape(x, y);
    if (d > 0.0f || d < -width) return c;
    const float nx = shape(x + 0.5f, y) - shape(x - 0.5f, y);
    const float ny = shape(x, y + 0.5f) - shape(x, y - 0.5f);
    const float len = std::hypot(nx, ny);
    if (len <= 1e-6f) return c;
    // The outward normal against a light from the top left.
    const float facing = (nx * -0.6f + ny * -0.8f) / len;
    const float f = 1.0f + strength * facing * (1.0f + d / width);
    c.r = std::clamp(c.r * f, 0.0f, 1.0f);
    c.g = std::clamp(c.g * f, 0.0f, 1.0f);
    c.b = std::clamp(c.b * f, 0.0f, 1.0f);
    return c;
  };
}

}  // namespace qv::art
