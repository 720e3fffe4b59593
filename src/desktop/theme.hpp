// The fixed look of the window: the eight clickable targets, the hit test over
// them, the skin scaled to the window, and the two effects drawn over it (the
// progress bar and the glow of a hovered or focused target). Pure functions
// over byte arrays; geometry is in base pixels (design_space.hpp).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "desktop/design_space.hpp"

namespace qv {

struct TargetSpec {
  std::string_view label;  // empty for the two frame buttons
  Rect button;             // first hit area and the shape of the glow
  Rect emblem;             // the skin's emblem beside the button: second hit area
  Rect label_box;          // inside `button`; all zero without a label
  std::int32_t label_size = 0;
};

inline constexpr std::size_t kTargetCount = 8;
inline constexpr std::int32_t kMinimiseTarget = 6;
inline constexpr std::int32_t kCloseTarget = 7;

// Index order is the action order of the window: 0 PATCH (PLAY when ready),
// 1 CHECK, 2 STOP GAME, 3 REGISTER, 4 TOP UP, 5 DISCORD, 6 minimise, 7 close.
inline constexpr std::array<TargetSpec, kTargetCount> TARGETS = {{
    {"PATCH", {245, 746, 576, 833}, {228, 699, 420, 829}, {411, 758, 560, 820}, 30},
    {"CHECK", {598, 746, 940, 833}, {607, 709, 755, 826}, {752, 758, 922, 820}, 31},
    {"STOP GAME", {961, 746, 1296, 833}, {970, 716, 1114, 827}, {1108, 758, 1280, 820}, 24},
    {"REGISTER", {248, 855, 576, 944}, {254, 848, 409, 937}, {410, 876, 562, 937}, 24},
    {"TOP UP", {599, 855, 940, 944}, {609, 841, 772, 937}, {769, 868, 925, 929}, 28},
    {"DISCORD", {960, 855, 1296, 944}, {971, 838, 1147, 935}, {1120, 876, 1271, 937}, 24},
    {"", {1320, 545, 1385, 602}, {1320, 545, 1385, 602}, {0, 0, 0, 0}, 0},
    {"", {1390, 545, 1455, 602}, {1390, 545, 1455, 602}, {0, 0, 0, 0}, 0},
}};

// The progress track, in base pixels.
inline constexpr Rect kProgressTrack = {391, 616, 1122, 642};
// Corner radius of the track and of every glow.
inline constexpr double kCornerRadius = 12.0;
// The glow is drawn this far around its button.
inline constexpr std::int32_t kGlowMargin = 20;

// The first target whose button or emblem contains the base point, by index.
std::optional<std::int32_t> hit_test(std::int32_t x, std::int32_t y);

// Signed distance from (px, py) to a rounded rectangle of centre (cx, cy),
// half-sizes (hx, hy) and corner radius r: negative inside, 0 on the edge.
double rounded_rect_distance(double px, double py, double cx, double cy, double hx, double hy, double r);

// The skin (1536 x 1024 pixels of straight RGBA, rows top-down) scaled to
// width x height by bilinear filtering, as premultiplied BGRA. At 1536 x 1024
// the result is the skin itself, premultiplied and reordered. A size of 0 or
// less in either direction gives an empty array; a skin of another byte count
// gives all-zero pixels.
std::vector<std::uint8_t> scale_skin(std::span<const std::uint8_t> skin, std::int32_t width, std::int32_t height);

// Draws the bar into the track: filled to `ratio` (clamped to 0..1) when
// given, else a 120-pixel segment sweeping right at 220 base pixels a second
// after `sweep_seconds`, else nothing. Replaces the colour of the pixels it
// covers, scaled by their own alpha; alpha and every pixel outside the track
// stay as they are.
void draw_progress_bar(FrameView frame, double scale, std::optional<double> ratio,
                       std::optional<double> sweep_seconds);

// Blends the golden glow around target `index` (0..7) over the frame, within
// its button and a margin of 20 base pixels. Another index draws nothing.
void draw_glow(FrameView frame, double scale, std::int32_t index);

}  // namespace qv
