#include "skin.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>

#include "canvas.hpp"
#include "desktop/assets.hpp"
#include "desktop/design_space.hpp"
#include "desktop/font_binding.hpp"
#include "desktop/theme.hpp"

namespace qv::art {
namespace {

constexpr float kPi = std::numbers::pi_v<float>;

// The palette: obsidian and slate for the surfaces, gold for the trim,
// crimson for the primary button, cream for the texts the window draws.
const Colour kObsidian = rgb(0x0b0d12);
const Colour kSlateTop = rgb(0x232836);
const Colour kSlateBottom = rgb(0x12151d);
const Colour kCrimsonTop = rgb(0x6a1c1c);
const Colour kCrimsonBottom = rgb(0x2c0b0c);
const Colour kEnamelCentre = rgb(0x1d2740);
const Colour kEnamelEdge = rgb(0x080b12);

const std::array<Stop, 7> kGold = {{
    {0.00f, rgb(0xfff2c2)},
    {0.22f, rgb(0xe8be5c)},
    {0.45f, rgb(0x9c6b22)},
    {0.55f, rgb(0x80561a)},
    {0.70f, rgb(0xd3a24a)},
    {0.88f, rgb(0xf6d98a)},
    {1.00f, rgb(0x7a5218)},
}};

// Gold whose bands run across the height top..bottom.
Paint gold(float top, float bottom) {
  return [top, bottom](float, float y) { return ramp(kGold, std::clamp((y - top) / (bottom - top), 0.0f, 1.0f)); };
}

Paint vertical(Colour top_colour, Colour bottom_colour, float top, float bottom) {
  return [=](float, float y) { return mix(top_colour, bottom_colour, std::clamp((y - top) / (bottom - top), 0.0f, 1.0f)); };
}

Paint solid(Colour c) {
  return [c](float, float) { return c; };
}

Box to_box(const Rect& r) {
  return {static_cast<float>(r.left), static_cast<float>(r.top), static_cast<float>(r.right),
          static_cast<float>(r.bottom)};
}

// A ring: the band of `width` pixels just inside the shape's edge.
Sdf inner_band(Sdf shape, float width) {
  return [shape = std::move(shape), width](float x, float y) {
    const float d = shape(x, y);
    return std::max(d, -d - width);
  };
}

Sdf round_rect(Box box, float radius) {
  return [box, radius](float x, float y) { return sd_round_rect(x, y, box, radius); };
}

Sdf circle(float cx, float cy, float r) {
  return [=](float x, float y) { return sd_circle(x, y, cx, cy, r); };
}

Sdf polygon(std::vector<Point> points) {
  return [points = std::move(points)](float x, float y) { return sd_polygon(x, y, points); };
}

Sdf inset(Sdf shape, float by) {
  return [shape = std::move(shape), by](float x, float y) { return shape(x, y) + by; };
}

// A star of `points` long rays, radii `outer` and `inner`, rotated by `turn`.
std::vector<Point> star(float cx, float cy, int points, float outer, float inner, float turn) {
  std::vector<Point> v;
  for (int i = 0; i < points * 2; ++i) {
    const float a = turn + kPi * i / points - kPi / 2;
    const float r = i % 2 == 0 ? outer : inner;
    v.push_back({cx + r * std::cos(a), cy + r * std::sin(a)});
  }
  return v;
}

// A gold emblem disc: shadow, bevelled rim, enamel, fine inner ring.
void medallion(Canvas& c, float cx, float cy, float r, Colour tint) {
  const Box box{cx - r, cy - r, cx + r, cy + r};
  const Sdf disc = circle(cx, cy, r);
  c.shadow(box, disc, 10, 0, 5, rgb(0x000000, 0.75f));
  const float rim = std::max(3.0f, r * 0.12f);
  c.fill(grow(box, 1), disc, bevel(disc, gold(cy - r, cy + r), rim, 0.55f));
  const Sdf enamel = circle(cx, cy, r - rim);
  c.fill(box, enamel, [=](float x, float y) {
    const float t = std::clamp(std::hypot(x - cx, y - cy + r * 0.35f) / (r * 1.3f), 0.0f, 1.0f);
    return mix(mix(kEnamelCentre, tint, 0.35f), kEnamelEdge, t);
  });
  // The enamel sits below the rim: a shadow under its upper edge.
  c.fill(box, inner_band(enamel, rim * 0.9f), [=](float, float y) {
    return rgb(0x000000, 0.45f * std::clamp((cy - y) / r + 0.2f, 0.0f, 1.0f));
  }, 2.5f);
  c.fill(box, inner_band(circle(cx, cy, r - rim * 1.6f), 1.2f), [=](float x, float y) {
    Colour g = gold(cy - r, cy + r)(x, y);
    g.a = 0.55f;
    return g;
  });
}

// Fills an icon shape in gold with a dark outline beneath it.
void gold_glyph(Canvas& c, const Box& bounds, const Sdf& shape, float top, float bottom) {
  c.fill(grow(bounds, 4), inset(shape, -2.0f), solid(rgb(0x050608, 0.85f)));
  c.fill(bounds, shape, bevel(shape, gold(top, bottom), 3.0f, 0.5f));
}

Sdf union_of(std::vector<Sdf> parts) {
  return [parts = std::move(parts)](float x, float y) {
    float d = 1e9f;
    for (const auto& p : parts) d = std::min(d, p(x, y));
    return d;
  };
}

Sdf subtract(Sdf a, Sdf b) {
  return [a = std::move(a), b = std::move(b)](float x, float y) { return std::max(a(x, y), -b(x, y)); };
}

// The six emblem icons, each inside a circle of radius r around (cx, cy).
Sdf emblem_icon(int target, float cx, float cy, float r) {
  const float s = r / 50.0f;  // drawn on a 100-unit disc
  const auto P = [&](float x, float y) { return Point{cx + x * s, cy + y * s}; };
  switch (target) {
    case 0: {  // install: an arrow down into a tray
      auto arrow = polygon({P(-9, -30), P(9, -30), P(9, -2), P(21, -2), P(0, 20), P(-21, -2), P(-9, -2)});
      auto tray = polygon({P(-30, 10), P(-22, 10), P(-22, 22), P(22, 22), P(22, 10), P(30, 10), P(30, 30), P(-30, 30)});
      return union_of({arrow, tray});
    }
    case 1: {  // check: a tick in a ring
      auto tick = [=](float x, float y) {
        return std::min(sd_segment(x, y, cx - 17 * s, cy + 1 * s, cx - 5 * s, cy + 14 * s, 5.5f * s),
                        sd_segment(x, y, cx - 5 * s, cy + 14 * s, cx + 19 * s, cy - 15 * s, 5.5f * s));
      };
      auto ring = [=](float x, float y) { return std::abs(sd_circle(x, y, cx, cy, 29 * s)) - 3.5f * s; };
      return union_of({tick, ring});
    }
    case 2: {  // stop: the power sign
      auto arc = [=](float x, float y) {
        const float d = std::abs(sd_circle(x, y, cx, cy + 3 * s, 23 * s)) - 5 * s;
        // Open at the top.
        const float gap = std::abs(x - cx) - 11 * s;
        return y < cy - 4 * s ? std::max(d, -gap) : d;
      };
      auto bar = [=](float x, float y) { return sd_segment(x, y, cx, cy - 27 * s, cx, cy + 2 * s, 5 * s); };
      return union_of({arc, bar});
    }
    case 3: {  // register: a bust with a plus
      auto head = circle(cx - 6 * s, cy - 12 * s, 12 * s);
      auto body = [=](float x, float y) {
        const float d = sd_circle(x, y, cx - 6 * s, cy + 28 * s, 26 * s);
        return std::max(d, y - (cy + 26 * s));
      };
      auto plus = [=](float x, float y) {
        return std::min(sd_segment(x, y, cx + 22 * s, cy - 12 * s, cx + 22 * s, cy + 6 * s, 3.5f * s),
                        sd_segment(x, y, cx + 13 * s, cy - 3 * s, cx + 31 * s, cy - 3 * s, 3.5f * s));
      };
      return union_of({head, body, plus});
    }
    case 4: {  // top up: a cut gem
      auto gem = polygon({P(-26, -10), P(-14, -24), P(14, -24), P(26, -10), P(0, 28)});
      auto facet = polygon({P(-14, -10), P(14, -10), P(0, 22)});
      auto girdle = [=](float, float y) { return std::abs(y - (cy - 10 * s)) - 1.4f * s; };
      return subtract(gem, union_of({inset(facet, 1.5f * s), girdle}));
    }
    default: {  // community: a speech bubble
      auto bubble = round_rect({cx - 28 * s, cy - 22 * s, cx + 28 * s, cy + 14 * s}, 12 * s);
      auto tail = polygon({P(-14, 10), P(-2, 10), P(-18, 28)});
      auto dots = union_of({circle(cx - 13 * s, cy - 4 * s, 4.5f * s), circle(cx, cy - 4 * s, 4.5f * s),
                            circle(cx + 13 * s, cy - 4 * s, 4.5f * s)});
      return subtract(union_of({bubble, tail}), dots);
    }
  }
}

// Text in the label font, centred on `centre_x` with extra letter spacing,
// gold with a dark drop shadow.
Status gold_text(Canvas& c, std::string_view text, float centre_x, float baseline, int pixels, float tracking) {
  auto font = QV_TRY(PrivateFont::add_memory(embedded_label_font()));
  auto choice = QV_TRY(choose_font("Cinzel Decorative", 700));
  auto face = QV_TRY(SizedFace::open(choice, pixels));
  std::vector<std::uint32_t> glyphs;
  float width = 0;
  for (const char ch : text) {
    glyphs.push_back(face.glyph_index(static_cast<unsigned char>(ch)));
    width += QV_TRY(face.glyph_metrics(glyphs.back())).advance + tracking;
  }
  width -= tracking;
  const float top = baseline - pixels * 0.72f, bottom = baseline + 2;
  const Paint paint = gold(top, bottom);
  for (int layer = 0; layer < 2; ++layer) {
    float pen = centre_x - width / 2;
    for (const std::uint32_t glyph : glyphs) {
      const GlyphBitmap bitmap = QV_TRY(face.render_glyph(glyph));
      const int ox = static_cast<int>(std::lround(pen)) + bitmap.left + (layer == 0 ? 2 : 0);
      const int oy = static_cast<int>(baseline) - bitmap.top + (layer == 0 ? 3 : 0);
      for (int y = 0; y < bitmap.rows; ++y) {
        for (int x = 0; x < bitmap.width; ++x) {
          const float cov = bitmap.coverage[y * bitmap.pitch + x] / 255.0f;
          const int px = ox + x, py = oy + y;
          if (cov <= 0 || px < 0 || py < 0 || px >= c.width() || py >= c.height()) continue;
          c.over(px, py, layer == 0 ? rgb(0x000000, 0.8f) : paint(px + 0.5f, py + 0.5f), cov);
        }
      }
      pen += bitmap.advance + tracking;
    }
  }
  return {};
}

// A thin gold rule fading out towards both ends, with a lozenge at its middle.
void rule(Canvas& c, float x0, float x1, float y) {
  const float mid = (x0 + x1) / 2, half = (x1 - x0) / 2;
  c.fill({x0, y - 2, x1, y + 2}, [=](float, float py) { return std::abs(py - y) - 0.6f; },
         [=](float x, float) {
           Colour g = rgb(0xd9ae57);
           g.a = 0.85f * std::pow(1.0f - std::abs(x - mid) / half, 0.6f);
           return g;
         });
  const Sdf lozenge = polygon({{mid, y - 6}, {mid + 9, y}, {mid, y + 6}, {mid - 9, y}});
  c.fill({mid - 12, y - 8, mid + 12, y + 8}, lozenge, bevel(lozenge, gold(y - 6, y + 6), 3, 0.5f));
}

// A corner flourish of the panel: two gold strokes and a lozenge, mirrored
// by (sx, sy).
void corner(Canvas& c, float x, float y, float sx, float sy) {
  const Sdf strokes = [=](float px, float py) {
    return std::min(sd_segment(px, py, x, y, x + 70 * sx, y, 1.6f), sd_segment(px, py, x, y, x, y + 44 * sy, 1.6f));
  };
  c.fill({std::min(x, x + 70 * sx) - 4, std::min(y, y + 44 * sy) - 4, std::max(x, x + 70 * sx) + 4,
          std::max(y, y + 44 * sy) + 4},
         strokes, gold(y - 10, y + 10));
  const Sdf lozenge = polygon({{x, y - 7}, {x + 7, y}, {x, y + 7}, {x - 7, y}});
  c.fill({x - 9, y - 9, x + 9, y + 9}, lozenge, bevel(lozenge, gold(y - 7, y + 7), 3, 0.6f));
}

void crest(Canvas& c, Status& status) {
  const float cx = 768, cy = 282, r = 168;
  // A dark haze so the crest reads on any desktop behind the window.
  c.fill({cx - 470, 20, cx + 470, 580}, [=](float x, float y) { return std::hypot((x - cx) / 1.7f, y - 300) - 190; },
         solid(rgb(0x07090d, 0.42f)), 120.0f);
  // Wings: feathers fanning out from behind the medallion.
  for (int side = -1; side <= 1; side += 2) {
    for (int i = 0; i < 6; ++i) {
      const float angle = (-12.0f + i * 11.0f) * kPi / 180.0f;
      const float length = 250.0f - i * 26.0f;
      const float bx = cx + side * 110.0f, by = cy + 40 + i * 6;
      const float ex = bx + side * length * std::cos(angle), ey = by - length * std::sin(angle) * 0.9f + 30;
      const float nx = -(ey - by) / length, ny = (ex - bx) / length;
      const float w = 27.0f - i * 2.0f;
      const Sdf feather = polygon({{bx + nx * w, by + ny * w},
                                   {(bx + ex) / 2 + nx * w * 0.8f, (by + ey) / 2 + ny * w * 0.8f},
                                   {ex, ey},
                                   {(bx + ex) / 2 - nx * w * 0.6f, (by + ey) / 2 - ny * w * 0.6f},
                                   {bx - nx * w, by - ny * w}});
      const Box box{std::min(bx, ex) - 30, std::min(by, ey) - 30, std::max(bx, ex) + 30, std::max(by, ey) + 30};
      c.shadow(box, feather, 8, 0, 4, rgb(0x000000, 0.6f));
      c.fill(box, inset(feather, -1.5f), solid(rgb(0x1a1206)));
      c.fill(box, feather, bevel(feather, gold(ey - 40, by + 40), 6, 0.6f));
    }
  }
  // The medallion with its compass star and a crimson stone.
  medallion(c, cx, cy, r, rgb(0x3a2a5a));
  const Sdf big_star = polygon(star(cx, cy, 8, r * 0.74f, r * 0.28f, 0));
  c.shadow({cx - r, cy - r, cx + r, cy + r}, big_star, 8, 0, 4, rgb(0x000000, 0.7f));
  c.fill({cx - r, cy - r, cx + r, cy + r}, big_star, bevel(big_star, gold(cy - r * 0.74f, cy + r * 0.74f), 14, 0.65f));
  const Sdf small_star = polygon(star(cx, cy, 8, r * 0.42f, r * 0.2f, kPi / 8));
  c.fill({cx - r, cy - r, cx + r, cy + r}, small_star, bevel(small_star, gold(cy + r * 0.4f, cy - r * 0.4f), 8, 0.5f));
  const Sdf stone = circle(cx, cy, 24);
  c.fill({cx - 30, cy - 30, cx + 30, cy + 30}, inset(stone, -3), gold(cy - 27, cy + 27));
  c.fill({cx - 30, cy - 30, cx + 30, cy + 30}, stone, [=](float x, float y) {
    const float t = std::clamp(std::hypot(x - cx + 8, y - cy + 9) / 34.0f, 0.0f, 1.0f);
    return mix(rgb(0xff7a5c), rgb(0x4a0608), t);
  });
  c.fill({cx - 16, cy - 18, cx, cy - 4}, circle(cx - 8, cy - 10, 5), solid(rgb(0xffffff, 0.7f)), 3.0f);
  // The finial above.
  const Sdf finial = polygon({{cx, cy - r - 52}, {cx + 16, cy - r - 18}, {cx, cy - r + 4}, {cx - 16, cy - r - 18}});
  c.fill({cx - 20, cy - r - 56, cx + 20, cy - r + 8}, finial, bevel(finial, gold(cy - r - 52, cy - r + 4), 5, 0.6f));

  // The banner with the name.
  const float top = 408, bottom = 496, left = 452, right = 1084;
  const Sdf banner = polygon({{left, top}, {right, top}, {right - 34, (top + bottom) / 2}, {right, bottom},
                              {left, bottom}, {left + 34, (top + bottom) / 2}});
  const Box banner_box{left - 10, top - 10, right + 10, bottom + 10};
  c.shadow(banner_box, banner, 12, 0, 8, rgb(0x000000, 0.8f));
  c.fill(banner_box, inset(banner, -4), gold(top - 4, bottom + 4));
  c.fill(banner_box, banner, vertical(kCrimsonTop, kCrimsonBottom, top, bottom));
  c.fill(banner_box, inner_band(inset(banner, 6), 1.5f), solid(rgb(0xe0b45c, 0.8f)));
  c.fill(banner_box, inner_band(banner, 10), [=](float, float y) { return rgb(0x000000, 0.35f * (1 - (y - top) / (bottom - top))); }, 4.0f);
  if (auto drawn = gold_text(c, "VELMORANE", cx, 474, 60, 6); !drawn) status = drawn;
}

void panel(Canvas& c, Status& status) {
  const Box box{196, 522, 1490, 986};
  const Sdf shape = round_rect(box, 30);
  c.shadow(box, shape, 26, 0, 16, rgb(0x000000, 0.7f));
  c.fill(grow(box, 2), shape, [=](float x, float y) {
    Colour base = mix(rgb(0x1b202b), rgb(0x0c0e14), std::clamp((y - box.top) / (box.bottom - box.top), 0.0f, 1.0f));
    // A faint lattice of diagonal lines, like tooling on leather.
    const float u = std::fmod(std::abs(x + y), 46.0f), v = std::fmod(std::abs(x - y + 2000), 46.0f);
    const float line = std::max(0.0f, 1.0f - std::min(u, v) / 1.2f);
    base = mix(base, rgb(0xc9a25a), line * 0.045f);
    // Light from above the middle.
    const float glow = std::max(0.0f, 1.0f - std::hypot((x - 768) / 900.0f, (y - 560) / 320.0f));
    return mix(base, rgb(0x3a4258), glow * 0.35f);
  });
  // Edges darken towards the rim.
  c.fill(box, inner_band(shape, 70), [=](float x, float y) {
    return rgb(0x000000, 0.5f * std::clamp(1.0f + shape(x, y) / 70.0f, 0.0f, 1.0f));
  }, 70.0f);
  // The gold rim, a dark line outside it and a fine line inside.
  c.fill(grow(box, 3), inner_band(inset(shape, -1.5f), 1.5f), solid(rgb(0x000000, 0.9f)));
  c.fill(grow(box, 1), inner_band(shape, 6), bevel(inner_band(shape, 6), gold(box.top, box.top + 140), 6, 0.5f));
  c.fill(box, inner_band(inset(shape, 11), 1.3f), solid(rgb(0xb88a3a, 0.6f)));
  corner(c, box.left + 22, box.top + 22, 1, 1);
  corner(c, box.right - 22, box.top + 22, -1, 1);
  corner(c, box.left + 22, box.bottom - 22, 1, -1);
  corner(c, box.right - 22, box.bottom - 22, -1, -1);

  // The caption area: a darker band with the client's name, closed by a rule.
  const Box caption{box.left + 14, box.top + 14, box.right - 14, 604};
  c.fill(caption, round_rect(caption, 18), [=](float, float y) {
    return rgb(0x000000, 0.28f * (1 - (y - caption.top) / (caption.bottom - caption.top)) + 0.08f);
  }, 2.0f);
  rule(c, 268, 1268, 607);
  if (auto drawn = gold_text(c, "QV ONLINE", 330, 585, 26, 3); !drawn) status = drawn;
}

// The column under the frame buttons: a niche with a small crest and a
// chain of lozenges.
void side_column(Canvas& c) {
  const Box niche{1322, 628, 1454, 944};
  const Sdf shape = round_rect(niche, 16);
  c.fill(grow(niche, 1), shape, vertical(rgb(0x0a0c11), rgb(0x151926), niche.top, niche.bottom));
  c.fill(niche, inner_band(shape, 8), [=](float x, float y) {
    return rgb(0x000000, 0.5f * std::clamp(1.0f + shape(x, y) / 8.0f, 0.0f, 1.0f));
  }, 3.0f);
  c.fill(grow(niche, 1), inner_band(shape, 2), bevel(inner_band(shape, 2), gold(niche.top, niche.bottom), 2, 0.5f));
  const float cx = (niche.left + niche.right) / 2;
  medallion(c, cx, 700, 50, rgb(0x3a2a5a));
  const Sdf ray = polygon(star(cx, 700, 8, 34, 13, 0));
  c.fill({cx - 50, 650, cx + 50, 750}, ray, bevel(ray, gold(666, 734), 5, 0.6f));
  c.fill({cx - 10, 690, cx + 10, 710}, circle(cx, 700, 7), solid(rgb(0xa01c22)));
  for (int i = 0; i < 5; ++i) {
    const float y = 788 + i * 31.0f;
    const Sdf lozenge = polygon({{cx, y - 11}, {cx + 8, y}, {cx, y + 11}, {cx - 8, y}});
    c.fill({cx - 10, y - 13, cx + 10, y + 13}, lozenge, bevel(lozenge, gold(y - 11, y + 11), 3, 0.6f));
    if (i < 4) {
      c.fill({cx - 2, y + 10, cx + 2, y + 22},
             [=](float x, float py) { return sd_segment(x, py, cx, y + 11, cx, y + 20, 1.0f); }, gold(y, y + 31));
    }
  }
}

void progress_track(Canvas& c) {
  const Box groove = to_box(kProgressTrack);
  const Sdf rim = round_rect(grow(groove, 4), 16);
  c.shadow(grow(groove, 4), rim, 6, 0, 3, rgb(0x000000, 0.6f));
  c.fill(grow(groove, 6), rim, bevel(rim, gold(groove.top - 4, groove.bottom + 4), 4, 0.6f));
  const Sdf inside = round_rect(groove, 12);
  c.fill(grow(groove, 1), inside, vertical(rgb(0x020304), rgb(0x10131a), groove.top, groove.bottom));
  c.fill(groove, inner_band(inside, 6), [=](float, float y) {
    return rgb(0x000000, 0.6f * std::clamp((groove.bottom - y) / (groove.bottom - groove.top), 0.0f, 1.0f));
  }, 4.0f);
  for (const float x : {groove.left - 22, groove.right + 22}) {
    const float y = (groove.top + groove.bottom) / 2;
    const Sdf lozenge = polygon({{x, y - 10}, {x + 8, y}, {x, y + 10}, {x - 8, y}});
    c.fill({x - 10, y - 12, x + 10, y + 12}, lozenge, bevel(lozenge, gold(y - 10, y + 10), 3, 0.6f));
  }
}

void status_strip(Canvas& c) {
  const Box strip{400, 656, 1136, 710};
  const Sdf shape = round_rect(strip, 8);
  c.fill(grow(strip, 1), shape, [=](float x, float) {
    const float edge = std::min(x - strip.left, strip.right - x) / 80.0f;
    return rgb(0x06080c, 0.55f * std::clamp(edge, 0.0f, 1.0f) + 0.15f);
  });
  c.fill(grow(strip, 1), inner_band(shape, 1.0f), [=](float x, float) {
    Colour g = rgb(0xc9a25a);
    g.a = 0.35f * std::clamp(std::min(x - strip.left, strip.right - x) / 120.0f, 0.0f, 1.0f);
    return g;
  });
}

void button_plate(Canvas& c, int target) {
  const Box box = to_box(TARGETS[static_cast<std::size_t>(target)].button);
  const Sdf shape = round_rect(box, 12);
  const bool primary = target == 0;
  c.shadow(box, shape, 10, 0, 6, rgb(0x000000, 0.75f));
  const Colour top = primary ? kCrimsonTop : kSlateTop;
  const Colour bottom = primary ? kCrimsonBottom : kSlateBottom;
  c.fill(grow(box, 1), shape, [=](float x, float y) {
    const float t = std::clamp((y - box.top) / (box.bottom - box.top), 0.0f, 1.0f);
    Colour base = mix(top, bottom, t);
    // Brushed: fine horizontal streaks.
    const float streak = value_noise(x * 0.08f, y * 2.2f, 1.0f, 11) - 0.5f;
    base.r *= 1 + streak * 0.08f, base.g *= 1 + streak * 0.08f, base.b *= 1 + streak * 0.08f;
    return base;
  });
  // A gloss on the upper half.
  const Box gloss{box.left + 4, box.top + 3, box.right - 4, (box.top + box.bottom) / 2};
  c.fill(gloss, round_rect(gloss, 9), [=](float, float y) {
    return rgb(0xffffff, 0.07f * (1 - (y - gloss.top) / (gloss.bottom - gloss.top)));
  }, 2.0f);
  c.fill(grow(box, 1), inner_band(shape, 3), bevel(inner_band(shape, 3), gold(box.top, box.bottom), 3, 0.6f));
  c.fill(box, inner_band(inset(shape, 4), 1.0f), solid(rgb(0x000000, 0.55f)));
}

void emblem(Canvas& c, int target) {
  const Rect& e = TARGETS[static_cast<std::size_t>(target)].emblem;
  const float h = static_cast<float>(e.bottom - e.top);
  const float r = h / 2 - 5;
  // Centred on the emblem's height, towards its left so the label keeps room.
  const float cx = e.left + std::min(static_cast<float>(e.right - e.left) / 2, r + 30);
  const float cy = (e.top + e.bottom) / 2.0f;
  const std::array<Colour, 6> tints = {rgb(0x7a1a1a), rgb(0x1a4a5a), rgb(0x5a1a3a), rgb(0x2a3a6a), rgb(0x5a4a1a),
                                       rgb(0x3a2a6a)};
  medallion(c, cx, cy, r, tints[static_cast<std::size_t>(target)]);
  const Sdf icon = emblem_icon(target, cx, cy, r - 6);
  gold_glyph(c, {cx - r, cy - r, cx + r, cy + r}, icon, cy - r * 0.6f, cy + r * 0.6f);
}

void frame_button(Canvas& c, int target) {
  const Box box = to_box(TARGETS[static_cast<std::size_t>(target)].button);
  const Sdf shape = round_rect(box, 10);
  c.shadow(box, shape, 6, 0, 3, rgb(0x000000, 0.7f));
  c.fill(grow(box, 1), shape, vertical(kSlateTop, kObsidian, box.top, box.bottom));
  c.fill(grow(box, 1), inner_band(shape, 2.5f), bevel(inner_band(shape, 2.5f), gold(box.top, box.bottom), 3, 0.6f));
  const float cx = (box.left + box.right) / 2, cy = (box.top + box.bottom) / 2;
  const Sdf glyph = target == kMinimiseTarget
                        ? Sdf([=](float x, float y) { return sd_segment(x, y, cx - 13, cy + 8, cx + 13, cy + 8, 3); })
                        : Sdf([=](float x, float y) {
                            return std::min(sd_segment(x, y, cx - 11, cy - 11, cx + 11, cy + 11, 3),
                                            sd_segment(x, y, cx - 11, cy + 11, cx + 11, cy - 11, 3));
                          });
  gold_glyph(c, grow(box, -2), glyph, cy - 12, cy + 12);
}

}  // namespace

Result<std::vector<std::uint8_t>> paint_skin() {
  Canvas c(kBaseWidth, kBaseHeight);
  Status status;
  crest(c, status);
  panel(c, status);
  side_column(c);
  progress_track(c);
  status_strip(c);
  for (int target = 0; target < 6; ++target) button_plate(c, target);
  for (int target = 0; target < 6; ++target) emblem(c, target);
  frame_button(c, kMinimiseTarget);
  frame_button(c, kCloseTarget);
  c.grain(0.05f, 1234);
  QV_TRY(status);
  return c.to_rgba8();
}

std::vector<std::uint8_t> paint_icon(int size) {
  Canvas c(size, size);
  const float s = size / 64.0f;  // drawn on a 64-unit square
  const float cx = 32 * s, cy = 32 * s;
  const Sdf disc = circle(cx, cy, 30 * s);
  c.fill({0, 0, 64 * s, 64 * s}, disc, bevel(disc, gold(2 * s, 62 * s), std::max(1.0f, 4 * s), 0.5f));
  const Sdf enamel = circle(cx, cy, 25 * s);
  c.fill({0, 0, 64 * s, 64 * s}, enamel, [=](float x, float y) {
    return mix(kEnamelCentre, kEnamelEdge, std::clamp(std::hypot(x - cx, y - cy + 8 * s) / (32 * s), 0.0f, 1.0f));
  });
  const Sdf ray = polygon(star(cx, cy, size >= 32 ? 8 : 4, 22 * s, 8 * s, 0));
  c.fill({0, 0, 64 * s, 64 * s}, ray, bevel(ray, gold(10 * s, 54 * s), std::max(1.0f, 3 * s), 0.5f));
  const Sdf stone = circle(cx, cy, 5.5f * s);
  c.fill({0, 0, 64 * s, 64 * s}, stone, [=](float x, float y) {
    return mix(rgb(0xff7a5c), rgb(0x5a0a0e), std::clamp(std::hypot(x - cx + 2 * s, y - cy + 2 * s) / (8 * s), 0.0f, 1.0f));
  });
  return c.to_rgba8();
}

}  // namespace qv::art
