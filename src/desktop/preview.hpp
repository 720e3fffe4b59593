// The render preview: a diagnostics mode that writes the window's frame to
// disk (the whole frame and the block of the six buttons as PNG images, and a
// JSON report of the state drawn and of how each label was fitted), so the
// window's look can be checked without a client or a display.
//
// For a preview path P (the "--render-preview" value, else the
// "--render-watch" value) with the stem S (P's file name without its
// extension, as UTF-8 with ill-formed sequences replaced):
//   P                         the frame
//   S-buttons.png beside P    the button block
//   S-hover-N.png beside P    P's bytes again, for the hovered target N (-1
//                             for none); only under "--render-watch"
//   P with the extension json the report
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/error.hpp"
#include "core/foundations/progress.hpp"
#include "desktop/design_space.hpp"
#include "desktop/text.hpp"

namespace qv {

inline constexpr std::string_view kRenderPreviewOption = "--render-preview";
inline constexpr std::string_view kRenderWatchOption = "--render-watch";

// The block of the six buttons, in base pixels.
inline constexpr Rect kPreviewCrop = {225, 699, 1310, 951};

// What the command line asks the preview to write.
struct PreviewRequest {
  std::filesystem::path path;  // P
  bool watch = false;          // "--render-watch" has a value: the hover copy too
};

// The request of an argument list (argument 0 included), by the command-line
// rule of the configuration; none when neither render option has a value.
std::optional<PreviewRequest> preview_request(std::span<const std::string> args);

// Where the preview files of `request` go for the hovered target `hover`.
struct PreviewFiles {
  std::filesystem::path image;
  std::filesystem::path buttons;
  std::optional<std::filesystem::path> hover;  // only when watching
  std::filesystem::path report;
};
PreviewFiles preview_files(const PreviewRequest& request, std::int32_t hover);

// A frame (premultiplied BGRA) as straight RGBA: red and blue swapped, and the
// colours of every pixel that is neither transparent nor opaque divided back
// by its alpha (truncated, at most 255).
std::vector<std::uint8_t> to_straight_rgba(std::span<const std::uint8_t> bgra);

// The report's object of a progress: "completed", "detail", "stage" (by its
// protocol name), "total" (null when absent), "unit"; null without a progress.
nlohmann::json progress_to_json(const std::optional<Progress>& progress);

// What the report says of the frame.
struct PreviewReport {
  std::int32_t focus = -1;
  std::int32_t hover = -1;
  std::vector<FontMetrics> font_metrics;  // this frame's labels, in drawing order
  FrameSize size;
  std::optional<Progress> progress;
  bool ready = false;
  double scale = 1.0;
};

// The report as written: one object, two-space indentation, members of every
// object sorted by their key's bytes; "scale" is null when not finite and a
// whole scale keeps its ".0". Ill-formed UTF-8 in a text (a preview font's
// family from the command line) is written as U+FFFD.
std::string preview_report_text(const PreviewReport& report);

// Writes the preview files of one frame (`bgra`: the report's size, in
// premultiplied BGRA) in the order image, buttons (cropped at the report's
// scale), hover copy, report, each replaced atomically. The first encoding or
// writing error ends the preview and is returned; the files after it are not
// written.
Status write_preview(const PreviewRequest& request, std::span<const std::uint8_t> bgra, const PreviewReport& report);

}  // namespace qv
