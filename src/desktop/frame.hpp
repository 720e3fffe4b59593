// The launcher's frame: composed in memory from the window state (the scaled
// skin, the glows of the hovered and focused targets, the progress bar, two
// text lines and the six button labels) and presented on the window in one
// call; there is no other drawing. When the program was started with a render
// option, the frame is also written to disk as PNG images and a JSON report
// (preview.hpp).
//
// Everything here runs on the window thread.
#pragma once

#include <chrono>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/error.hpp"
#include "core/foundations/progress.hpp"
#include "desktop/app_state.hpp"
#include "desktop/design_space.hpp"
#include "desktop/text.hpp"
#include "platform/window.hpp"

namespace qv {

// The two text lines and their nominal sizes, in base pixels.
inline constexpr Rect kTextLine1Box = {410, 661, 1124, 682};
inline constexpr std::int32_t kTextLine1Size = 20;
inline constexpr Rect kTextLine2Box = {410, 682, 1124, 703};
inline constexpr std::int32_t kTextLine2Size = 19;

// Target 0's label while the held check needs nothing more and no job runs.
inline constexpr std::string_view kPlayLabel = "PLAY";

// A frame whose pixels cannot be had.
inline constexpr std::string_view kFrameAllocationFailed = "DIB allocation failed";
inline constexpr std::string_view kBackgroundSizeMismatch = "the background does not match the frame size";
// The window refused the frame: the error reads this, then ": " and the cause.
inline constexpr std::string_view kPresentFailed = "present frame";

// The share of the work done: min(1, completed / total), 0 for a total of 0;
// none without a progress or without a total. The bar's fill and the title's
// percent both come from it.
std::optional<double> progress_ratio(const std::optional<Progress>& progress);

// The two text lines the frame shows for `state`.
struct FrameTexts {
  std::string line1;
  std::string line2;
  bool operator==(const FrameTexts&) const = default;
};
FrameTexts frame_texts(const AppState& state);

// One frame as composed, before presenting: W x H premultiplied BGRA pixels
// (W, H = frame_size(scale)) and the metrics of its six labels, in drawing
// order.
struct ComposedFrame {
  std::vector<std::uint8_t> pixels;
  FrameSize size;
  std::vector<FontMetrics> metrics;
};

// Composes the frame of `state`, the bar's sweep measured from
// `state.stage_started` to `now`. Fails with "DIB allocation failed" when the
// frame's pixels cannot be had (a side below 1 or above the largest window
// side, or no memory), with "the background does not match the frame size"
// when `state.background` was not rebuilt for `state.scale`. A label that
// cannot be measured ends the process as an internal failure (draw_text).
Result<ComposedFrame> compose_frame(const AppState& state, std::chrono::steady_clock::time_point now);

// Composes the frame of `state` and presents it on `window`; then, when the
// process was started with "--render-preview" or "--render-watch" followed by
// a path, writes the preview files for it (preview.hpp). Returns the first
// preview error if any, else "present frame: {cause}" when the window refused
// the frame, else success. A frame that cannot be composed is neither
// presented nor written.
Status render_frame(platform::Window& window, const AppState& state);

// The same, with the render options read from `args` (argument 0 included)
// instead of the process's own command line.
Status render_frame_with(platform::Window& window, const AppState& state, std::span<const std::string> args);

// Renders; on an error sets `status` to the text record_ui_error gives for it
// (context "paint", the client root when a configuration is held) and the
// window title to that status alone. Nothing is retried: the next repaint
// tries again.
void paint(platform::Window& window, AppState& state);

}  // namespace qv
