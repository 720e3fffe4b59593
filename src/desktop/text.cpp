#include "desktop/text.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include <fmt/format.h>

#include "desktop/font_binding.hpp"
#include "desktop/internal_failure.hpp"
#include "desktop/utf16.hpp"

namespace qv {
namespace {

constexpr const char* kGlyphMetricsFailure = "button glyph metrics";
// The end ellipsis of a cut body line.
constexpr std::string_view kEllipsis = "...";

// A rectangle in frame pixels, ends excluded.
struct PixelBox {
  std::int32_t left, top, right, bottom;
};

PixelBox scale_box(Rect box, double scale) {
  return {scale_coordinate(box.left, scale), scale_coordinate(box.top, scale), scale_coordinate(box.right, scale),
          scale_coordinate(box.bottom, scale)};
}

PixelBox clip_to_frame(PixelBox box, const FrameView& frame) {
  return {std::max(box.left, 0), std::max(box.top, 0), std::min(box.right, frame.width),
          std::min(box.bottom, frame.height)};
}

// Paints `colour` over the frame through the glyph's coverage with its pen
// at (pen_x, baseline), within `clip`: premultiplied "over", so the alpha of
// the frame grows where the text lands.
void blend_glyph(const FrameView& frame, const PixelBox& clip, const GlyphBitmap& glyph, std::int64_t pen_x,
                 std::int64_t baseline, TextColour colour) {
  const std::int64_t x0 = pen_x + glyph.left;
  const std::int64_t y0 = baseline - glyph.top;
  const std::int64_t col_begin = std::max<std::int64_t>(x0, clip.left);
  const std::int64_t col_end = std::min<std::int64_t>(x0 + glyph.width, clip.right);
  const std::int64_t row_begin = std::max<std::int64_t>(y0, clip.top);
  const std::int64_t row_end = std::min<std::int64_t>(y0 + glyph.rows, clip.bottom);
  for (std::int64_t y = row_begin; y < row_end; ++y) {
    const std::uint8_t* src = glyph.coverage + (y - y0) * glyph.pitch;
    for (std::int64_t x = col_begin; x < col_end; ++x) {
      const unsigned c = src[x - x0];
      if (c == 0) continue;
      std::uint8_t* px = frame.pixel(static_cast<std::int32_t>(x), static_cast<std::int32_t>(y));
      const unsigned keep = 255 - c;
      px[0] = static_cast<std::uint8_t>((colour.blue * c + px[0] * keep + 127) / 255);
      px[1] = static_cast<std::uint8_t>((colour.green * c + px[1] * keep + 127) / 255);
      px[2] = static_cast<std::uint8_t>((colour.red * c + px[2] * keep + 127) / 255);
      px[3] = static_cast<std::uint8_t>((255 * c + px[3] * keep + 127) / 255);
    }
  }
}

// ---- Labels -----------------------------------------------------------------

struct Ink {
  std::int32_t min_x = std::numeric_limits<std::int32_t>::max();
  std::int32_t min_top = std::numeric_limits<std::int32_t>::max();
  std::int32_t max_x = std::numeric_limits<std::int32_t>::min();
  std::int32_t max_bottom = std::numeric_limits<std::int32_t>::min();
  bool any = false;
  std::int32_t width() const { return max_x - min_x; }
  std::int32_t height() const { return max_bottom - min_top; }
};

// A label that cannot be measured or drawn: the labels are fixed texts in a
// font verified at start-up, so the window cannot go on.
[[noreturn]] void glyph_metrics_failure() { fail_internally(kGlyphMetricsFailure); }

// The ink box of the glyphs drawn one after the other from pen 0, as the
// label fitting measures it.
Ink measure_ink(SizedFace& face, const std::vector<std::uint32_t>& glyphs) {
  Ink ink;
  std::int64_t pen = 0;
  for (const std::uint32_t glyph : glyphs) {
    auto m = face.glyph_metrics(glyph);
    if (!m) glyph_metrics_failure();
    if (m->black_width != 0 && m->black_height != 0) {
      const auto left = static_cast<std::int32_t>(pen + m->origin_x);
      ink.min_x = std::min(ink.min_x, left);
      ink.max_x = std::max(ink.max_x, left + m->black_width);
      ink.min_top = std::min(ink.min_top, -m->origin_y);
      ink.max_bottom = std::max(ink.max_bottom, m->black_height - m->origin_y);
      ink.any = true;
    }
    pen += m->advance;
  }
  if (!ink.any || ink.width() <= 0) glyph_metrics_failure();
  return ink;
}

void draw_label_run(const FrameView& frame, const PixelBox& clip, SizedFace& face,
                    const std::vector<std::uint32_t>& glyphs, std::int64_t x, std::int64_t baseline,
                    TextColour colour) {
  for (const std::uint32_t glyph : glyphs) {
    auto bitmap = face.render_glyph(glyph);
    if (!bitmap) glyph_metrics_failure();
    blend_glyph(frame, clip, *bitmap, x, baseline, colour);
    x += bitmap->advance;
  }
}

void draw_label(TextContext& context, std::string_view text, Rect box) {
  const PixelBox pixels = scale_box(box, context.scale);
  const std::int32_t available_width = saturate_to_i32(static_cast<double>(pixels.right) - pixels.left - 4);
  const std::int32_t available_height = saturate_to_i32(static_cast<double>(pixels.bottom) - pixels.top - 4);

  auto choice = choose_font(context.font.family, context.font.weight);
  if (!choice) glyph_metrics_failure();
  std::int32_t n = round_to_i32(kLabelStartHeight * context.scale);
  auto cached = cached_face(*choice, n);
  if (!cached) glyph_metrics_failure();
  SizedFace& face = **cached;
  // Measured unit by unit: a character outside the basic plane is its two
  // surrogate units, each drawn as whatever the font gives it.
  std::vector<std::uint32_t> glyphs;
  for (const char16_t unit : utf8_to_utf16(text)) glyphs.push_back(face.glyph_index(unit));

  Ink ink;
  bool fits = false;
  for (;; --n) {
    if (!face.set_pixel_height(n)) glyph_metrics_failure();
    ink = measure_ink(face, glyphs);
    fits = ink.width() <= available_width && ink.height() <= available_height;
    // The smallest height tried is 6, or the start height when below 7.
    if (fits || n <= kLabelSmallestHeight) break;
  }
  context.metrics.push_back(FontMetrics{std::string(text), context.font.family, n, ink.width(), ink.height(),
                                        available_width, available_height, box, fits});

  // The ink box centred in the pixel box; y is the baseline.
  const std::int64_t x =
      std::int64_t{pixels.left} + (std::int64_t{pixels.right} - pixels.left - ink.width()) / 2 - ink.min_x;
  const std::int64_t y =
      std::int64_t{pixels.top} + (std::int64_t{pixels.bottom} - pixels.top - ink.height()) / 2 - ink.min_top;
  const PixelBox clip = clip_to_frame(pixels, context.frame);
  draw_label_run(context.frame, clip, face, glyphs, x + 1, y + 1, kTextShadowColour);
  draw_label_run(context.frame, clip, face, glyphs, x, y, kTextColour);
}

// ---- Body text -------------------------------------------------------------

void draw_body_line(const FrameView& frame, SizedFace& face, const std::vector<ShapedGlyph>& glyphs,
                    PixelBox pixels, TextColour colour) {
  std::int64_t total = 0;
  for (const auto& g : glyphs) total += g.x_advance;
  const std::int64_t line_height = std::int64_t{face.ascent()} + face.descent();
  const std::int64_t left = std::int64_t{pixels.left} * 64 + ((std::int64_t{pixels.right} - pixels.left) * 64 - total) / 2;
  const std::int64_t top = std::int64_t{pixels.top} + (std::int64_t{pixels.bottom} - pixels.top - line_height) / 2;
  const std::int64_t baseline = top + face.ascent();
  const PixelBox clip = clip_to_frame(pixels, frame);
  std::int64_t pen = left;  // 1/64 pixel
  for (const auto& g : glyphs) {
    auto bitmap = face.render_glyph(g.glyph);
    if (bitmap) {
      const std::int64_t x = (pen + g.x_offset + 32) >> 6;
      const std::int64_t y = baseline - ((g.y_offset + 32) >> 6);
      blend_glyph(frame, clip, *bitmap, x, y, colour);
    }
    pen += g.x_advance;
  }
}

// A status line is one line: a line break inside its text (the note that the
// diagnostics log cannot be written follows one) is drawn as a blank, as a
// single-line drawing treats it, not as the font's box for a missing glyph.
// A CR LF pair is one break.
std::string single_line(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' || c == '\n') {
      out.push_back(' ');
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      continue;
    }
    out.push_back(c);
  }
  return out;
}

void draw_body(TextContext& context, std::string_view raw, Rect box, std::int32_t size) {
  const std::string text = single_line(raw);
  const std::int32_t p = round_to_i32(size * context.scale);
  auto choice = choose_font(kBodyFontFamily, kBodyFontWeight, kBodyFontLanguage);
  if (!choice) return;
  auto cached = cached_face(*choice, p);
  if (!cached) return;
  SizedFace& face = **cached;
  const PixelBox shadow = scale_box({box.left + 2, box.top + 2, box.right + 2, box.bottom + 2}, context.scale);
  const PixelBox pixels = scale_box(box, context.scale);
  const auto shadow_glyphs = fit_body_line(face, text, std::int64_t{shadow.right} - shadow.left);
  draw_body_line(context.frame, face, shadow_glyphs, shadow, kTextShadowColour);
  const auto glyphs = fit_body_line(face, text, std::int64_t{pixels.right} - pixels.left);
  draw_body_line(context.frame, face, glyphs, pixels, kTextColour);
}

}  // namespace

std::vector<ShapedGlyph> fit_body_line(SizedFace& face, std::string_view text, std::int64_t width) {
  std::vector<ShapedGlyph> glyphs = face.shape(text);
  const auto advance_of = [](const std::vector<ShapedGlyph>& run) {
    std::int64_t sum = 0;
    for (const auto& g : run) sum += g.x_advance;
    return sum;
  };
  const std::int64_t limit = width * 64;
  if (advance_of(glyphs) <= limit) return glyphs;
  const std::vector<ShapedGlyph> ellipsis = face.shape(kEllipsis);
  const std::int64_t room = limit - advance_of(ellipsis);
  std::size_t keep = 0;
  std::int64_t used = 0;
  for (std::size_t i = 0; i < glyphs.size(); ++i) {
    if (i > 0 && glyphs[i].cluster != glyphs[i - 1].cluster && used <= room) keep = i;
    used += glyphs[i].x_advance;
  }
  if (used <= room) keep = glyphs.size();
  glyphs.resize(keep);
  glyphs.insert(glyphs.end(), ellipsis.begin(), ellipsis.end());
  return glyphs;
}

nlohmann::json font_metrics_json(const FontMetrics& m) {
  nlohmann::json entry = nlohmann::json::object();
  entry["label"] = m.label;
  entry["family"] = m.family;
  entry["pixel_height"] = m.pixel_height;
  entry["text_width"] = m.text_width;
  entry["text_height"] = m.text_height;
  entry["available_width"] = m.available_width;
  entry["available_height"] = m.available_height;
  entry["area"] = {m.area.left, m.area.top, m.area.right, m.area.bottom};
  entry["fits"] = m.fits;
  return entry;
}

void draw_text(TextContext& context, std::string_view text, Rect box, std::int32_t size, TextMode mode) {
  if (!context.frame.well_formed()) return;
  if (mode == TextMode::Label) return draw_label(context, text, box);
  draw_body(context, text, box, size);
}

std::string percent_suffix(double ratio) {
  const double percent = std::floor(ratio * 100.0);
  std::uint32_t number = 0;
  if (percent >= 4294967295.0) {
    number = 4294967295u;
  } else if (percent > 0.0) {
    number = static_cast<std::uint32_t>(percent);
  }
  return fmt::format(" • {}%", number);
}

}  // namespace qv
