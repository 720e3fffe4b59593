#include "desktop/theme.hpp"

#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

#include <gtest/gtest.h>

#include "desktop/assets.hpp"
#include "desktop/design_space.hpp"
#include "desktop/png_codec.hpp"

namespace qv {
namespace {

constexpr std::size_t kSkinBytes = std::size_t{kBaseWidth} * kBaseHeight * 4;

struct Bgra {
  int b, g, r, a;
  bool operator==(const Bgra&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Bgra& p) {
  return out << "(b " << p.b << ", g " << p.g << ", r " << p.r << ", a " << p.a << ")";
}

Bgra at(const std::vector<std::uint8_t>& frame, std::int32_t width, std::int32_t x, std::int32_t y) {
  const std::size_t i = (static_cast<std::size_t>(y) * width + x) * 4;
  return {frame[i], frame[i + 1], frame[i + 2], frame[i + 3]};
}

// Sets one skin pixel (straight RGBA).
void set_rgba(std::vector<std::uint8_t>& skin, std::int32_t x, std::int32_t y, int r, int g, int b, int a) {
  const std::size_t i = (static_cast<std::size_t>(y) * kBaseWidth + x) * 4;
  skin[i] = static_cast<std::uint8_t>(r);
  skin[i + 1] = static_cast<std::uint8_t>(g);
  skin[i + 2] = static_cast<std::uint8_t>(b);
  skin[i + 3] = static_cast<std::uint8_t>(a);
}

// A frame of one colour everywhere, premultiplied BGRA.
std::vector<std::uint8_t> uniform_frame(std::int32_t width, std::int32_t height, Bgra p) {
  std::vector<std::uint8_t> frame(static_cast<std::size_t>(width) * height * 4);
  for (std::size_t i = 0; i < frame.size(); i += 4) {
    frame[i] = static_cast<std::uint8_t>(p.b);
    frame[i + 1] = static_cast<std::uint8_t>(p.g);
    frame[i + 2] = static_cast<std::uint8_t>(p.r);
    frame[i + 3] = static_cast<std::uint8_t>(p.a);
  }
  return frame;
}

// Every pixel that differs between two frames lies inside `area` (pixels).
void expect_changes_within(const std::vector<std::uint8_t>& before, const std::vector<std::uint8_t>& after,
                           std::int32_t width, Rect area) {
  ASSERT_EQ(before.size(), after.size());
  std::size_t changed = 0;
  for (std::size_t i = 0; i < before.size(); i += 4) {
    const auto x = static_cast<std::int32_t>((i / 4) % static_cast<std::size_t>(width));
    const auto y = static_cast<std::int32_t>((i / 4) / static_cast<std::size_t>(width));
    const bool same = std::equal(before.begin() + static_cast<std::ptrdiff_t>(i),
                                 before.begin() + static_cast<std::ptrdiff_t>(i) + 4,
                                 after.begin() + static_cast<std::ptrdiff_t>(i));
    if (!same) {
      ++changed;
      ASSERT_TRUE(area.contains(x, y)) << "pixel " << x << "," << y << " changed outside the area";
    }
  }
  EXPECT_GT(changed, 0u);
}

TEST(HitTest, TargetsBordersAndGaps) {
  struct Case {
    std::int32_t x, y;
    std::optional<std::int32_t> hit;
  };
  const Case cases[] = {
      {245, 746, 0},           // top-left corner of a button is inside
      {575, 832, 0},           // last pixel of the button
      {576, 746, std::nullopt},  // right edge excluded
      {400, 833, std::nullopt},  // bottom edge excluded, and below the emblem
      {228, 700, 0},           // through the emblem
      {227, 700, std::nullopt},
      {1320, 545, 6},
      {1454, 601, 7},
      {1455, 545, std::nullopt},
      {1385, 560, std::nullopt},  // between the two frame buttons
      {610, 720, 1},              // emblem of CHECK above its button
      {600, 720, std::nullopt},
      {590, 800, std::nullopt},   // between two buttons
      {1120, 936, 5},             // label box corner of DISCORD lies in its button
      {768, 300, std::nullopt},   // the crest is no target
      {-1, -1, std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(hit_test(c.x, c.y), c.hit) << c.x << "," << c.y;
  }
}

TEST(HitTest, EveryLabelBoxLiesInsideItsButton) {
  for (const auto& t : TARGETS) {
    if (t.label.empty()) continue;
    EXPECT_LE(t.button.left, t.label_box.left) << t.label;
    EXPECT_LE(t.button.top, t.label_box.top) << t.label;
    EXPECT_GE(t.button.right, t.label_box.right) << t.label;
    EXPECT_GE(t.button.bottom, t.label_box.bottom) << t.label;
  }
}

TEST(ScaleSkin, AtFullSizeIsTheSkinPremultipliedAndReordered) {
  const auto skin = decode_png(embedded_skin_png(), std::uint64_t{kBaseWidth} * kBaseHeight);
  ASSERT_TRUE(skin) << skin.error().to_string();
  ASSERT_EQ(skin->pixels.size(), kSkinBytes);
  const auto frame = scale_skin(skin->pixels, kBaseWidth, kBaseHeight);
  ASSERT_EQ(frame.size(), kSkinBytes);
  std::size_t partial = 0;
  for (std::size_t i = 0; i < kSkinBytes; i += 4) {
    const double a = skin->pixels[i + 3];
    const auto premultiplied = [&](std::size_t channel) {
      return static_cast<int>(std::round(skin->pixels[i + channel] * a / 255.0));
    };
    const Bgra expected{premultiplied(2), premultiplied(1), premultiplied(0), static_cast<int>(a)};
    const Bgra got{frame[i], frame[i + 1], frame[i + 2], frame[i + 3]};
    ASSERT_EQ(got, expected) << "pixel " << i / 4;
    if (a > 0 && a < 255) ++partial;
  }
  // The skin has soft edges, so premultiplying was exercised.
  EXPECT_GT(partial, 1000u);
}

// A skin of one colour with a 3 x 2 block of chosen pixels at the top left.
std::vector<std::uint8_t> patterned_skin() {
  std::vector<std::uint8_t> skin(kSkinBytes, 0);
  set_rgba(skin, 0, 0, 255, 0, 0, 255);      // red
  set_rgba(skin, 1, 0, 0, 240, 0, 255);      // green
  set_rgba(skin, 2, 0, 0, 60, 0, 255);       // dark green
  set_rgba(skin, 0, 1, 0, 0, 255, 255);      // blue
  set_rgba(skin, 1, 1, 255, 255, 255, 0);    // transparent white
  set_rgba(skin, 2, 1, 200, 100, 50, 128);   // half transparent
  return skin;
}

TEST(ScaleSkin, HalfAndOneAndAHalfTimesAgainstHandComputedPixels) {
  struct Case {
    std::int32_t width, height, x, y;
    Bgra expected;
  };
  const Case cases[] = {
      // Half size, (0,0): the block red, green, blue, transparent white, each
      // weighted 1/4: blue 255/4, green 240/4, red 255/4, alpha 3 x 255/4.
      {768, 512, 0, 0, {64, 60, 64, 191}},
      // Half size, (1,0): pixels (2,0), (3,0), (2,1), (3,1): dark green 60,
      // (200,100,50) at alpha 128, two transparent. Premultiplied: r 100.39,
      // g 50.20, b 25.10; each divided by 4, with green 60/4 added.
      {768, 512, 1, 0, {6, 28, 25, 96}},
      // Far from the block everything is transparent black.
      {768, 512, 400, 300, {0, 0, 0, 0}},
      // 1.5 times, column 0 and row 0 clamp to the first source pixel: red.
      {2304, 1536, 0, 0, {0, 0, 255, 255}},
      // Column 1 and row 1 sample at (0.5, 0.5): the 2 x 2 average again.
      {2304, 1536, 1, 1, {64, 60, 64, 191}},
      // Column 2, row 0: x = 7/6, so 5/6 of green 240 and 1/6 of green 60.
      {2304, 1536, 2, 0, {0, 210, 0, 255}},
  };
  const auto skin = patterned_skin();
  for (const auto& c : cases) {
    const auto frame = scale_skin(skin, c.width, c.height);
    ASSERT_EQ(frame.size(), std::size_t(c.width) * c.height * 4);
    EXPECT_EQ(at(frame, c.width, c.x, c.y), c.expected) << c.width << "x" << c.height << " at " << c.x << "," << c.y;
  }
}

TEST(ScaleSkin, DegenerateSizesAndSkins) {
  EXPECT_TRUE(scale_skin(patterned_skin(), 0, 10).empty());
  EXPECT_TRUE(scale_skin(patterned_skin(), 10, -1).empty());
  const auto from_wrong_skin = scale_skin(std::vector<std::uint8_t>(16, 255), 4, 4);
  EXPECT_EQ(from_wrong_skin, std::vector<std::uint8_t>(64, 0));
}

TEST(ProgressBar, RatioFillsTheTrackOnly) {
  const Bgra grey{100, 100, 100, 255};
  struct Case {
    double ratio;
    bool draws;
    std::int32_t last_filled_column;  // at scale 1, on the middle row
  };
  const Case cases[] = {{0.0, false, 0}, {-0.5, false, 0}, {0.5, true, 755}, {1.0, true, 1121}, {3.0, true, 1121}};
  for (const auto& c : cases) {
    const auto before = uniform_frame(kBaseWidth, kBaseHeight, grey);
    auto frame = before;
    draw_progress_bar({frame, kBaseWidth, kBaseHeight}, 1.0, c.ratio, std::nullopt);
    if (!c.draws) {
      EXPECT_EQ(frame, before) << c.ratio;
      continue;
    }
    expect_changes_within(before, frame, kBaseWidth, kProgressTrack);
    EXPECT_NE(at(frame, kBaseWidth, c.last_filled_column, 629), grey) << c.ratio;
    if (c.last_filled_column + 1 < kProgressTrack.right) {
      EXPECT_EQ(at(frame, kBaseWidth, c.last_filled_column + 1, 629), grey) << c.ratio;
    }
    // The rounded ends: the corner pixel lies outside the radius.
    EXPECT_EQ(at(frame, kBaseWidth, 391, 616), grey);
    EXPECT_NE(at(frame, kBaseWidth, 391, 629), grey);
  }
}

TEST(ProgressBar, ColourStripesAndAlpha) {
  auto frame = uniform_frame(kBaseWidth, kBaseHeight, {0, 0, 0, 255});
  // A fully transparent pixel and a half-transparent one inside the fill.
  const std::size_t clear = (std::size_t{629} * kBaseWidth + 600) * 4;
  frame[clear + 3] = 0;
  const std::size_t half = (std::size_t{629} * kBaseWidth + 601) * 4;
  frame[half + 3] = 128;
  draw_progress_bar({frame, kBaseWidth, kBaseHeight}, 1.0, 1.0, std::nullopt);
  // (500, 628): centre (500.5, 628.5); shade 45 x 13.5/26 = 23.37; stripe:
  // trunc(1129 x 0.08) = 90 is even, so 10.
  EXPECT_EQ(at(frame, kBaseWidth, 500, 628), (Bgra{17, 198, 88, 255}));
  // (505, 628): trunc(1134 x 0.08) = 90, even; (520, 628): trunc(1149 x 0.08)
  // = 91, odd, no stripe.
  EXPECT_EQ(at(frame, kBaseWidth, 520, 628), (Bgra{17, 188, 78, 255}));
  EXPECT_EQ(at(frame, kBaseWidth, 600, 629), (Bgra{0, 0, 0, 0}));
  const Bgra half_pixel = at(frame, kBaseWidth, 601, 629);
  EXPECT_EQ(half_pixel.a, 128);
  EXPECT_LE(half_pixel.g, half_pixel.a);  // still premultiplied
}

TEST(ProgressBar, SweepMovesAlongTheTrack) {
  struct Case {
    double seconds;
    std::int32_t first, last;  // filled columns at scale 1
  };
  // t = 0 covers 391..511; t = 1 s covers 611..731; the period is 611/220 s.
  const Case cases[] = {{0.0, 391, 510}, {1.0, 611, 730}, {611.0 / 220.0 + 1.0, 611, 730}};
  for (const auto& c : cases) {
    const Bgra grey{100, 100, 100, 255};
    auto frame = uniform_frame(kBaseWidth, kBaseHeight, grey);
    draw_progress_bar({frame, kBaseWidth, kBaseHeight}, 1.0, std::nullopt, c.seconds);
    EXPECT_EQ(at(frame, kBaseWidth, c.first - 1, 629), grey) << c.seconds;
    EXPECT_NE(at(frame, kBaseWidth, c.first, 629), grey) << c.seconds;
    EXPECT_NE(at(frame, kBaseWidth, c.last, 629), grey) << c.seconds;
    EXPECT_EQ(at(frame, kBaseWidth, c.last + 1, 629), grey) << c.seconds;
  }
  auto frame = uniform_frame(64, 64, {1, 2, 3, 4});
  const auto before = frame;
  draw_progress_bar({frame, 64, 64}, 1.0, std::nullopt, std::nullopt);
  EXPECT_EQ(frame, before);
}

TEST(Glow, BlendsGoldAroundTheButtonOnly) {
  const Bgra grey{100, 100, 100, 255};
  const auto before = uniform_frame(kBaseWidth, kBaseHeight, grey);
  auto frame = before;
  draw_glow({frame, kBaseWidth, kBaseHeight}, 1.0, 0);
  const Rect& b = TARGETS[0].button;
  expect_changes_within(before, frame, kBaseWidth,
                        {b.left - kGlowMargin, b.top - kGlowMargin, b.right + kGlowMargin, b.bottom + kGlowMargin});
  // (400, 747): 1.5 pixels inside the top edge; intensity 0.07 + 0.78 e^-0.5
  // = 0.5431; blue 68k + 100(1-k) = 82.6, green 158.1, red 184.2.
  EXPECT_EQ(at(frame, kBaseWidth, 400, 747), (Bgra{83, 158, 184, 255}));
  // Deep inside, the floor of 0.07: blue 68 x 0.07 + 93 = 97.76, green
  // 107.49, red 110.85.
  EXPECT_EQ(at(frame, kBaseWidth, 400, 790), (Bgra{98, 107, 111, 255}));
}

TEST(Glow, TransparentPixelsStayTransparentAndRangesClip) {
  auto frame = uniform_frame(kBaseWidth, kBaseHeight, {0, 0, 0, 0});
  const auto before = frame;
  draw_glow({frame, kBaseWidth, kBaseHeight}, 1.0, 3);
  EXPECT_EQ(frame, before);

  // A frame smaller than the design: the close button and the track lie
  // partly or wholly outside it (the sanitizer build checks every access).
  auto small = uniform_frame(1400, 620, {100, 100, 100, 255});
  draw_glow({small, 1400, 620}, 1.0, 7);
  draw_progress_bar({small, 1400, 620}, 1.0, 1.0, std::nullopt);
  EXPECT_NE(at(small, 1400, 1399, 560), (Bgra{100, 100, 100, 255}));
  EXPECT_NE(at(small, 1400, 500, 619), (Bgra{100, 100, 100, 255}));
  // A frame whose byte count does not match is left alone; so is a bad index.
  std::vector<std::uint8_t> wrong(100, 7);
  draw_glow({wrong, 10, 10}, 1.0, 0);
  draw_glow({small, 1400, 620}, 1.0, 8);
  EXPECT_EQ(wrong, std::vector<std::uint8_t>(100, 7));
}

TEST(DesignSpace, SizesAndBasePoints) {
  EXPECT_EQ(frame_size(0.625).width, 960);
  EXPECT_EQ(frame_size(0.625).height, 640);
  EXPECT_EQ(frame_size(0.9375).width, 1440);
  EXPECT_EQ(frame_size(1e30).width, 2147483647);
  EXPECT_EQ(frame_size(std::nan("")).height, 0);
  EXPECT_EQ(to_base_point(959.9, 1.0, 0.625).x, 1535);
  EXPECT_EQ(to_base_point(-3.0, 0.0, 0.625).x, -4);
  EXPECT_EQ(scale_coordinate(1122, 0.625), 701);
}

}  // namespace
}  // namespace qv
