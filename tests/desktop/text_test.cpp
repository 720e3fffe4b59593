#include "desktop/text.hpp"

#include <hb-ot.h>
#include <hb.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "desktop/assets.hpp"
#include "desktop/font_binding.hpp"
#include "desktop/internal_failure.hpp"
#include "desktop/loaded_font.hpp"
#include "desktop/theme.hpp"
#include "support/child_process.hpp"

namespace qv {
namespace {

namespace fs = std::filesystem;

// A frame of one opaque colour at a scale.
struct TestFrame {
  explicit TestFrame(double s) : scale(s), size(frame_size(s)) {
    pixels.assign(static_cast<std::size_t>(size.width) * size.height * 4, 0);
    for (std::size_t i = 0; i < pixels.size(); i += 4) {
      pixels[i] = 40, pixels[i + 1] = 50, pixels[i + 2] = 60, pixels[i + 3] = 255;
    }
  }
  FrameView view() { return {pixels, size.width, size.height}; }
  // The bounding box of the pixels that differ from `other` (left, top,
  // right, bottom, ends excluded); none when nothing differs.
  std::optional<Rect> changes_since(const TestFrame& other) const {
    std::optional<Rect> box;
    for (std::int32_t y = 0; y < size.height; ++y) {
      for (std::int32_t x = 0; x < size.width; ++x) {
        const std::size_t i = (static_cast<std::size_t>(y) * size.width + x) * 4;
        if (std::equal(pixels.begin() + static_cast<std::ptrdiff_t>(i), pixels.begin() + static_cast<std::ptrdiff_t>(i) + 4,
                       other.pixels.begin() + static_cast<std::ptrdiff_t>(i))) {
          continue;
        }
        if (!box) box = Rect{x, y, x + 1, y + 1};
        box->left = std::min(box->left, x), box->top = std::min(box->top, y);
        box->right = std::max(box->right, x + 1), box->bottom = std::max(box->bottom, y + 1);
      }
    }
    return box;
  }
  double scale;
  FrameSize size;
  std::vector<std::uint8_t> pixels;
};

Rect pixel_box(Rect base, double scale) {
  return {scale_coordinate(base.left, scale), scale_coordinate(base.top, scale), scale_coordinate(base.right, scale),
          scale_coordinate(base.bottom, scale)};
}

bool inside(Rect inner, Rect outer) {
  return outer.left <= inner.left && outer.top <= inner.top && inner.right <= outer.right &&
         inner.bottom <= outer.bottom;
}

LoadedFont embedded_font() {
  auto added = PrivateFont::add_memory(embedded_label_font());
  EXPECT_TRUE(added) << added.error().to_string();
  return LoadedFont{kLabelFontFamily, std::move(*added), kLabelFontWeight};
}

TEST(VerifyFont, AcceptsTheAddedFaceAndRefusesSubstitutes) {
  LoadedFont font = embedded_font();
  EXPECT_EQ(font.source.face_count(), 1);
  EXPECT_TRUE(verify_font(font));

  struct Case {
    const char* family;
    bool accepted;
  };
  const Case cases[] = {
      {"cinzel DECORATIVE", true},  // ASCII case aside, the same face
      {"Cinzel Decorativ", false},  // another length: the system substitutes
      {"No Such Family 42", false},
  };
  for (const auto& c : cases) {
    font.family = c.family;
    const auto verified = verify_font(font);
    EXPECT_EQ(verified.has_value(), c.accepted) << c.family;
    if (!verified) {
      const std::string prefix = std::string("font fallback: requested ") + c.family + ", got ";
      EXPECT_TRUE(verified.error().message().starts_with(prefix)) << verified.error().message();
      // The substitute the system chose is named.
      EXPECT_GT(verified.error().message().size(), prefix.size()) << verified.error().message();
    }
  }
}

TEST(VerifyFont, ReleasingTheFontRemovesItFromTheProcess) {
  LoadedFont font = embedded_font();
  ASSERT_TRUE(verify_font(font));
  { [[maybe_unused]] const PrivateFont released = std::move(font.source); }
  // The system has no face of that family of its own.
  const auto after = verify_font(font);
  ASSERT_FALSE(after);
  EXPECT_TRUE(after.error().message().starts_with("font fallback: requested Cinzel Decorative, got "));
}

TEST(VerifyFont, APrivateFontFileServesLikeTheEmbeddedOne) {
  auto added = PrivateFont::add_file(QV_SOURCE_DIR "/assets/fonts/CinzelDecorative-Bold.ttf");
  ASSERT_TRUE(added) << added.error().to_string();
  ASSERT_TRUE(added->file());
  // A preview font asked for at another weight gets its nearest face.
  const LoadedFont font{kLabelFontFamily, std::move(*added), 400};
  EXPECT_TRUE(verify_font(font));
  const auto choice = choose_font(kLabelFontFamily, 400);
  ASSERT_TRUE(choice);
  EXPECT_FALSE(choice->bytes);
  EXPECT_EQ(choice->file, fs::path(QV_SOURCE_DIR "/assets/fonts/CinzelDecorative-Bold.ttf"));
}

TEST(SizedFace, MeasuredInkIsTheRenderedBox) {
  const LoadedFont font = embedded_font();
  const auto choice = choose_font(kLabelFontFamily, kLabelFontWeight);
  ASSERT_TRUE(choice);
  auto face = SizedFace::open(*choice, 42);
  ASSERT_TRUE(face);
  for (std::int32_t height = 4; height <= 84; ++height) {
    ASSERT_TRUE(face->set_pixel_height(height));
    for (const char ch : std::string_view("PATCHECKSTOPGAMEREGISTERTOPUPDISCORDPLAY .")) {
      const std::uint32_t glyph = face->glyph_index(static_cast<unsigned char>(ch));
      const auto m = face->glyph_metrics(glyph);
      ASSERT_TRUE(m);
      const auto b = face->render_glyph(glyph);
      ASSERT_TRUE(b);
      EXPECT_EQ(m->black_width, b->width) << ch << " at " << height;
      EXPECT_EQ(m->black_height, b->rows) << ch << " at " << height;
      if (b->width > 0) {
        EXPECT_EQ(m->origin_x, b->left) << ch << " at " << height;
        EXPECT_EQ(m->origin_y, b->top) << ch << " at " << height;
      }
      EXPECT_EQ(m->advance, b->advance) << ch << " at " << height;
    }
  }
}

TEST(PrivateFont, RefusesBytesThatAreNoFont) {
  const std::vector<std::uint8_t> junk(4096, 0x5A);
  EXPECT_FALSE(PrivateFont::add_memory(junk));
  EXPECT_FALSE(PrivateFont::add_file("/nonexistent/font.ttf"));
}

class Labels : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { font_ = new LoadedFont(embedded_font()); }
  static void TearDownTestSuite() {
    delete font_;
    font_ = nullptr;
  }
  static LoadedFont* font_;
};
LoadedFont* Labels::font_ = nullptr;

TEST_F(Labels, EveryLabelFitsItsBoxAtTheUsualScales) {
  for (const double scale : {0.625, 1.0, 2.0}) {
    TestFrame frame(scale);
    std::vector<FontMetrics> metrics;
    TextContext context{frame.view(), scale, *font_, metrics};
    const std::int32_t start = static_cast<std::int32_t>(std::round(kLabelStartHeight * scale));
    for (std::size_t i = 0; i < 7; ++i) {
      // The seventh is PLAY in the primary target's box.
      const TargetSpec& target = TARGETS[i == 6 ? 0 : i];
      const std::string_view label = i == 6 ? "PLAY" : target.label;
      const TestFrame before = frame;
      draw_text(context, label, target.label_box, target.label_size, TextMode::Label);
      ASSERT_EQ(metrics.size(), i + 1);
      const FontMetrics& m = metrics.back();
      EXPECT_TRUE(m.fits) << label << " at " << scale;
      EXPECT_LE(m.pixel_height, start) << label;
      EXPECT_GT(m.pixel_height, kLabelSmallestHeight) << label;
      EXPECT_EQ(m.label, label);
      EXPECT_EQ(m.family, kLabelFontFamily);
      EXPECT_EQ(m.area, target.label_box);
      const Rect box = pixel_box(target.label_box, scale);
      EXPECT_EQ(m.available_width, box.right - box.left - 4);
      EXPECT_EQ(m.available_height, box.bottom - box.top - 4);
      EXPECT_LE(m.text_width, m.available_width);
      // Drawn, and only inside the box.
      const auto changed = frame.changes_since(before);
      ASSERT_TRUE(changed) << label;
      EXPECT_TRUE(inside(*changed, box)) << label << " at " << scale;
    }
  }
}

TEST_F(Labels, StartHeightAndTheSmallestHeight) {
  struct Case {
    const char* label;
    Rect box;
    double scale;
    std::int32_t pixel_height;
    bool fits;
  };
  const Case cases[] = {
      {"PATCH", {0, 0, 1536, 1024}, 1.0, 42, true},       // fits at once
      {"PATCH", {0, 0, 1536, 1024}, 0.625, 26, true},     // 26.25 rounded
      {"STOP GAME", {100, 100, 130, 120}, 1.0, 6, false},  // too wide even at 6
      {"TOP UP", {100, 100, 103, 200}, 1.0, 6, false},     // 3 pixels: nothing fits
      {"CHECK", {100, 100, 300, 104}, 1.0, 6, false},      // available height 0
      {"PATCH", {0, 0, 1536, 1024}, 0.1, 4, true},         // starts below 7: one try
  };
  for (const auto& c : cases) {
    TestFrame frame(c.scale);
    std::vector<FontMetrics> metrics;
    TextContext context{frame.view(), c.scale, *font_, metrics};
    draw_text(context, c.label, c.box, 24, TextMode::Label);
    ASSERT_EQ(metrics.size(), 1u);
    EXPECT_EQ(metrics[0].pixel_height, c.pixel_height) << c.label << " at " << c.scale;
    EXPECT_EQ(metrics[0].fits, c.fits) << c.label << " at " << c.scale;
    EXPECT_GT(metrics[0].text_width, 0);
  }
}

TEST_F(Labels, SpacesAdvanceWithoutInk) {
  const Rect box = TARGETS[2].label_box;
  TestFrame plain(1.0), padded(1.0);
  std::vector<FontMetrics> plain_metrics, padded_metrics;
  TextContext a{plain.view(), 1.0, *font_, plain_metrics};
  TextContext b{padded.view(), 1.0, *font_, padded_metrics};
  draw_text(a, "STOP GAME", box, 24, TextMode::Label);
  draw_text(b, "  STOP GAME ", box, 24, TextMode::Label);
  // Leading and trailing blanks do not move the centred ink.
  EXPECT_EQ(plain.pixels, padded.pixels);
  EXPECT_EQ(plain_metrics[0].text_width, padded_metrics[0].text_width);
  EXPECT_EQ(plain_metrics[0].pixel_height, padded_metrics[0].pixel_height);

  // The inner blank widens the ink like a letter would not add ink.
  TestFrame joined(1.0);
  std::vector<FontMetrics> joined_metrics;
  TextContext c{joined.view(), 1.0, *font_, joined_metrics};
  draw_text(c, "STOPGAME", {0, 0, 1536, 1024}, 24, TextMode::Label);
  draw_text(c, "STOP GAME", {0, 0, 1536, 1024}, 24, TextMode::Label);
  EXPECT_GT(joined_metrics[1].text_width, joined_metrics[0].text_width);
  EXPECT_EQ(joined_metrics[1].text_height, joined_metrics[0].text_height);
}

// Draws the label given in a child process whose failure handler says what
// it is handed; a label that draws says "drawn".
QV_CHILD_MODE(draw_label) {
  set_failure_handler([](std::string_view description) { test::child_say(description); });
  const LoadedFont font = embedded_font();
  TestFrame frame(1.0);
  std::vector<FontMetrics> metrics;
  TextContext context{frame.view(), 1.0, font, metrics};
  draw_text(context, args.at(0), TARGETS[0].label_box, 30, TextMode::Label);
  test::child_say("drawn");
  return 0;
}

TEST(LabelFailure, TextWithoutInkEndsTheProcessAsAnInternalFailure) {
  for (const char* label : {"", "   "}) {
    const test::ChildExit ended = test::run_self("draw_label", {label});
    EXPECT_EQ(ended.exit_code, kInternalFailureExitCode) << '"' << label << '"';
    EXPECT_EQ(ended.output, "button glyph metrics\n") << '"' << label << '"';
  }
  const test::ChildExit drawn = test::run_self("draw_label", {"PATCH"});
  EXPECT_EQ(drawn.exit_code, 0);
  EXPECT_EQ(drawn.output, "drawn\n");
}

TEST(FontMetricsJson, KeysSortedAndValues) {
  const FontMetrics m{"TOP UP", "Cinzel Decorative", 30, 120, 28, 152, 57, {769, 868, 925, 929}, true};
  EXPECT_EQ(font_metrics_json(m).dump(),
            R"({"area":[769,868,925,929],"available_height":57,"available_width":152,"family":"Cinzel Decorative",)"
            R"("fits":true,"label":"TOP UP","pixel_height":30,"text_height":28,"text_width":120})");
}

// The body face, opened at a pixel height.
SizedFace body_face(std::int32_t pixels) {
  auto choice = choose_font(kBodyFontFamily, kBodyFontWeight, kBodyFontLanguage);
  EXPECT_TRUE(choice) << choice.error().to_string();
  auto face = SizedFace::open(*choice, pixels);
  EXPECT_TRUE(face) << face.error().to_string();
  return std::move(*face);
}

TEST(BodyText, ResolvesToAThaiFace) {
  const auto choice = choose_font(kBodyFontFamily, kBodyFontWeight, kBodyFontLanguage);
  ASSERT_TRUE(choice) << choice.error().to_string();
  auto face = SizedFace::open(*choice, 20);
  ASSERT_TRUE(face);
  for (const std::uint32_t code : {0x0E01u, 0x0E48u, 0x0E4Cu, 0x2022u, 0x41u}) {
    EXPECT_NE(face->glyph_index(code), 0u) << std::hex << code << " missing from " << choice->family;
  }
}

TEST(BodyText, ThaiIsShapedAsTheShapingLibraryShapesIt) {
  const std::string text = "ตรวจสอบไฟล์แพตช์ • ที่ดาวน์โหลดแล้ว 62%";
  const std::int32_t pixels = 20;
  const auto choice = choose_font(kBodyFontFamily, kBodyFontWeight, kBodyFontLanguage);
  ASSERT_TRUE(choice);
  SizedFace face = body_face(pixels);
  const auto glyphs = face.shape(text);

  // The same font file and text straight through HarfBuzz.
  hb_blob_t* blob = hb_blob_create_from_file(choice->file.c_str());
  hb_face_t* hb_face = hb_face_create(blob, static_cast<unsigned>(choice->index));
  hb_font_t* font = hb_font_create(hb_face);
  hb_font_set_scale(font, pixels * 64, pixels * 64);
  hb_buffer_t* buffer = hb_buffer_create();
  hb_buffer_add_utf8(buffer, text.data(), static_cast<int>(text.size()), 0, static_cast<int>(text.size()));
  hb_buffer_guess_segment_properties(buffer);
  hb_shape(font, buffer, nullptr, 0);
  unsigned count = 0;
  const hb_glyph_info_t* infos = hb_buffer_get_glyph_infos(buffer, &count);
  const hb_glyph_position_t* positions = hb_buffer_get_glyph_positions(buffer, &count);

  ASSERT_EQ(glyphs.size(), count);
  std::size_t marks = 0;
  for (unsigned i = 0; i < count; ++i) {
    EXPECT_EQ(glyphs[i].glyph, infos[i].codepoint) << i;
    EXPECT_EQ(glyphs[i].cluster, infos[i].cluster) << i;
    EXPECT_EQ(glyphs[i].x_advance, positions[i].x_advance) << i;
    EXPECT_EQ(glyphs[i].x_offset, positions[i].x_offset) << i;
    EXPECT_EQ(glyphs[i].y_offset, positions[i].y_offset) << i;
    if (hb_ot_layout_get_glyph_class(hb_face, infos[i].codepoint) == HB_OT_LAYOUT_GLYPH_CLASS_MARK) {
      ++marks;
      EXPECT_EQ(glyphs[i].x_advance, 0) << "mark " << i << " advances";
    }
  }
  // ล์ ช์ ที่ (two) น์ ล้: the text has six marks.
  EXPECT_EQ(marks, 6u);
  hb_buffer_destroy(buffer);
  hb_font_destroy(font);
  hb_face_destroy(hb_face);
  hb_blob_destroy(blob);
}

TEST(BodyText, LongLinesEndInAnEllipsisBetweenClusters) {
  SizedFace face = body_face(20);
  const std::string text = "กำลังดาวน์โหลดไฟล์ที่ต้องอัปเดตทั้งหมดจากเซิร์ฟเวอร์หลัก";
  const auto full = face.shape(text);
  const auto ellipsis = face.shape("...");
  // Fits: unchanged.
  EXPECT_EQ(fit_body_line(face, text, 4000).size(), full.size());

  const auto advance = [](const std::vector<ShapedGlyph>& run, std::size_t from, std::size_t to) {
    std::int64_t sum = 0;
    for (std::size_t i = from; i < to; ++i) sum += run[i].x_advance;
    return sum;
  };
  for (const std::int64_t width : {60, 150, 260}) {
    const auto cut = fit_body_line(face, text, width);
    ASSERT_GT(cut.size(), ellipsis.size());
    EXPECT_LE(advance(cut, 0, cut.size()), width * 64) << width;
    const std::size_t kept = cut.size() - ellipsis.size();
    for (std::size_t i = 0; i < ellipsis.size(); ++i) EXPECT_EQ(cut[kept + i].glyph, ellipsis[i].glyph);
    // The kept glyphs are the line's own first glyphs, ending at a cluster's end.
    ASSERT_LT(kept, full.size());
    for (std::size_t i = 0; i < kept; ++i) EXPECT_EQ(cut[i].glyph, full[i].glyph);
    if (kept > 0) {
      EXPECT_NE(full[kept].cluster, full[kept - 1].cluster) << width;
    }
  }
}

TEST(BodyText, DrawsCentredInsideItsBoxAndShadow) {
  const LoadedFont font = embedded_font();
  for (const double scale : {0.625, 1.0}) {
    TestFrame frame(scale);
    const TestFrame before = frame;
    std::vector<FontMetrics> metrics;
    TextContext context{frame.view(), scale, font, metrics};
    const Rect line{410, 661, 1124, 682};
    draw_text(context, "ดาวน์โหลดแพตช์  12.5/80.0 MiB • 15%", line, 20, TextMode::Body);
    EXPECT_TRUE(metrics.empty());  // body text reports nothing
    const auto changed = frame.changes_since(before);
    ASSERT_TRUE(changed);
    const Rect text_box = pixel_box(line, scale);
    const Rect shadow_box = pixel_box({line.left + 2, line.top + 2, line.right + 2, line.bottom + 2}, scale);
    EXPECT_TRUE(inside(*changed, {text_box.left, text_box.top, shadow_box.right, shadow_box.bottom}));
    // Centred: the ink's margins to the left and right of the box match.
    const int left_margin = changed->left - text_box.left;
    const int right_margin = text_box.right - changed->right;
    EXPECT_NEAR(left_margin, right_margin, 4 * scale + 2) << scale;
    EXPECT_GT(left_margin, 50);
  }
}

// A status text with a line break (the note that the diagnostics log cannot
// be written follows one) is one line with a blank there, not a box glyph.
TEST(BodyText, ALineBreakIsDrawnAsABlank) {
  const LoadedFont font = embedded_font();
  const Rect line{410, 661, 1124, 682};
  const auto drawn = [&](std::string_view text) {
    TestFrame frame(0.625);
    std::vector<FontMetrics> metrics;
    TextContext context{frame.view(), 0.625, font, metrics};
    draw_text(context, text, line, 20, TextMode::Body);
    return frame.pixels;
  };
  const auto blank = drawn("Configuration: bad Cannot write .launcher/state/errors.txt: denied");
  for (const char* broken : {"Configuration: bad\nCannot write .launcher/state/errors.txt: denied",
                             "Configuration: bad\r\nCannot write .launcher/state/errors.txt: denied"}) {
    EXPECT_EQ(drawn(broken), blank) << broken;
  }
  EXPECT_NE(drawn("Configuration: bad#Cannot write .launcher/state/errors.txt: denied"), blank)
      << "the comparison tells a glyph from a blank";
}

TEST(PercentSuffix, FloorOfThePercentage) {
  struct Case {
    double ratio;
    const char* text;
  };
  const Case cases[] = {
      {1.0, " • 100%"},  {0.999, " • 99%"}, {0.0, " • 0%"},          {0.257, " • 25%"},
      {-0.5, " • 0%"},   {1e12, " • 4294967295%"}, {std::numeric_limits<double>::quiet_NaN(), " • 0%"},
  };
  for (const auto& c : cases) EXPECT_EQ(percent_suffix(c.ratio), c.text) << c.ratio;
}

}  // namespace
}  // namespace qv
