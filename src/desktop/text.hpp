// Text in the frame: status lines in the body font and button labels in the
// label font, each label shrunk until its ink fits its box; the metrics the
// render preview reports for every label; the percent suffix of the title.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/error.hpp"
#include "desktop/design_space.hpp"
#include "desktop/font_binding.hpp"
#include "desktop/loaded_font.hpp"

namespace qv {

enum class TextMode { Body, Label };

// Straight RGB.
struct TextColour {
  std::uint8_t red, green, blue;
};
inline constexpr TextColour kTextShadowColour = {8, 11, 14};
inline constexpr TextColour kTextColour = {255, 239, 212};

// The body font, found through the system's fonts (a Thai-capable face).
inline constexpr const char* kBodyFontFamily = "Tahoma";
inline constexpr std::int32_t kBodyFontWeight = 400;
inline constexpr const char* kBodyFontLanguage = "th";

// Every label starts from this height in base pixels, whatever its nominal
// size, and shrinks a pixel at a time down to 6 pixels.
inline constexpr std::int32_t kLabelStartHeight = 42;
inline constexpr std::int32_t kLabelSmallestHeight = 6;

// How one label was fitted.
struct FontMetrics {
  std::string label;
  std::string family;
  std::int32_t pixel_height = 0;      // the final height
  std::int32_t text_width = 0;        // ink width at that height
  std::int32_t text_height = 0;       // ink height at that height
  std::int32_t available_width = 0;   // pixel box width - 4 (may be negative)
  std::int32_t available_height = 0;  // pixel box height - 4 (may be negative)
  Rect area;                          // the label box in base pixels
  bool fits = false;

  bool operator==(const FontMetrics&) const = default;
};

// The report object of one entry: keys "area", "available_height",
// "available_width", "family", "fits", "label", "pixel_height",
// "text_height", "text_width".
nlohmann::json font_metrics_json(const FontMetrics& metrics);

// What text is drawn onto: the frame, the window's scale, the label font,
// and the list that receives one entry per label drawn.
struct TextContext {
  FrameView frame;
  double scale = 1.0;
  const LoadedFont& font;
  std::vector<FontMetrics>& metrics;
};

// Draws `text` (UTF-8) in `box` (base pixels), shadow first, then the text.
//
// Body: in the body font at `size` x scale pixels, shaped, centred in both
// directions on one line (a line break in the text is drawn as a blank), cut
// with "..." at the end when too wide, clipped to the box; the shadow is the
// same drawing in a box 2 base pixels down and right. A body font that cannot
// be found draws nothing.
//
// Label: in the label font, from 42 x scale pixels down until the ink of the
// text (glyph by glyph, no shaping) fits the pixel box less 4 pixels, or the
// height is below 7; the ink is centred in the box, the shadow 1 pixel down
// and right, both clipped to the box; one FontMetrics entry is appended.
// `size` plays no part. A glyph that cannot be measured, or a text without
// ink, is an internal failure "button glyph metrics" that ends the process
// (fail_internally): the labels are fixed texts in a font verified at
// start-up. Window thread.
void draw_text(TextContext& context, std::string_view text, Rect box, std::int32_t size, TextMode mode);

// The glyphs of one body line as drawn in a box `width` pixels wide: the text
// shaped, and when wider than the box, cut between two clusters (a base keeps
// its marks) and ended with "..." so that it fits.
std::vector<ShapedGlyph> fit_body_line(SizedFace& face, std::string_view text, std::int64_t width);

// " • {}%" with floor(ratio x 100), clamped to 0..2^32 - 1 (not-a-number 0).
std::string percent_suffix(double ratio);

}  // namespace qv
