// A small vector painter for the generated pictures: shapes given by signed
// distance functions, filled with anti-aliased edges and composited over a
// floating-point premultiplied RGBA canvas, plus blurred shadows and grain.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace qv::art {

// Straight RGBA, each channel 0..1.
struct Colour {
  float r = 0, g = 0, b = 0, a = 1;
};
Colour rgb(std::uint32_t hex, float alpha = 1.0f);
Colour mix(Colour a, Colour b, float t);
// A colour ramp: stops at positions 0..1 in ascending order.
struct Stop {
  float at;
  Colour colour;
};
Colour ramp(std::span<const Stop> stops, float t);

// Signed distance in pixels at a point: negative inside.
using Sdf = std::function<float(float x, float y)>;
// The colour of a shape at a point.
using Paint = std::function<Colour(float x, float y)>;

struct Box {
  float left, top, right, bottom;
};

class Canvas {
 public:
  Canvas(int width, int height);
  int width() const { return width_; }
  int height() const { return height_; }

  // Composites `paint` through the shape's anti-aliased coverage (an edge
  // `feather` pixels wide) within `bounds`.
  void fill(const Box& bounds, const Sdf& shape, const Paint& paint, float feather = 1.0f);
  // A soft shadow of the shape: its coverage blurred by `radius` pixels,
  // moved by (dx, dy), in `colour`.
  void shadow(const Box& bounds, const Sdf& shape, float radius, float dx, float dy, Colour colour);
  // Multiplies colour by (1 + amount x noise) wherever the canvas is drawn.
  void grain(float amount, std::uint32_t seed);

  // Composites one pixel through `coverage` (0..1); the caller keeps x, y
  // inside the canvas.
  void over(int x, int y, Colour c, float coverage);

  // Straight 8-bit RGBA, rows top-down.
  std::vector<std::uint8_t> to_rgba8() const;

 private:
  int width_, height_;
  std::vector<float> pixels_;  // premultiplied RGBA
};

// Shapes.
float sd_round_rect(float x, float y, const Box& box, float radius);
float sd_circle(float x, float y, float cx, float cy, float radius);
float sd_segment(float x, float y, float ax, float ay, float bx, float by, float radius);
struct Point {
  float x, y;
};
float sd_polygon(float x, float y, std::span<const Point> points);

// Smooth value noise in 0..1 over a grid of `cell` pixels.
float value_noise(float x, float y, float cell, std::uint32_t seed);

Box grow(const Box& box, float by);

// `base` lit as a raised edge: within `width` pixels inside the shape's edge,
// brighter where the edge faces the top left and darker where it faces away.
Paint bevel(const Sdf& shape, Paint base, float width, float strength);

}  // namespace qv::art
