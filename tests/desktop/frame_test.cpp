#include "desktop/frame.hpp"

#include <chrono>
#include <cmath>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/foundations/fileops.hpp"
#include "desktop/assets.hpp"
#include "desktop/internal_failure.hpp"
#include "desktop/png_codec.hpp"
#include "desktop/preview.hpp"
#include "desktop/theme.hpp"
#include "support/child_process.hpp"
#include "support/private_display.hpp"
#include "support/temp_dir.hpp"

namespace qv {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using test::TempDir;

const std::vector<std::uint8_t>& embedded_skin() {
  static const std::vector<std::uint8_t> skin = [] {
    auto decoded = decode_png(embedded_skin_png(), std::uint64_t{kBaseWidth} * kBaseHeight);
    EXPECT_TRUE(decoded);
    return decoded ? decoded->pixels : std::vector<std::uint8_t>();
  }();
  return skin;
}

// A window state at `scale` over the embedded skin (or another one), with the
// embedded label font.
std::unique_ptr<AppState> make_state(double scale, const std::vector<std::uint8_t>& skin = embedded_skin()) {
  auto font = PrivateFont::add_memory(embedded_label_font());
  EXPECT_TRUE(font);
  auto state = std::make_unique<AppState>(LoadedFont{kLabelFontFamily, std::move(*font), kLabelFontWeight}, skin);
  state->set_scale(scale);
  return state;
}

ClientConfig config_at(const fs::path& root) {
  ClientConfig config;
  config.root = root;
  config.manifest_url = "https://example.invalid/manifest.qvm";
  config.object_base_url = "https://example.invalid/objects/";
  return config;
}

// The simulated progress of the render preview's "--preview-progress N".
void set_preview_progress(AppState& state, std::uint64_t n) {
  state.busy = n != 100;
  state.ready = n == 100;
  state.status = n == 100 ? "เสร็จสมบูรณ์ — เก็บไฟล์ทดสอบไว้แล้ว" : "ตรวจสอบไฟล์";
  state.progress = Progress{n == 100 ? Stage::Done : Stage::Validate, n, 100, ProgressUnit::Files, "jma/001.jma"};
}

std::vector<std::uint8_t> bytes_of(const std::string& text) { return {text.begin(), text.end()}; }

RgbaImage read_png(const fs::path& path) {
  auto image = decode_png(bytes_of(test::read_file(path)), std::uint64_t{1} << 26);
  EXPECT_TRUE(image) << path;
  return image ? *image : RgbaImage{};
}

// The pixels of columns [left, right) and rows [top, bottom) of a 4-byte image.
std::vector<std::uint8_t> region(const std::vector<std::uint8_t>& pixels, std::int32_t width, Rect r) {
  std::vector<std::uint8_t> out;
  for (std::int32_t y = r.top; y < r.bottom; ++y) {
    const auto row = pixels.begin() + (static_cast<std::ptrdiff_t>(y) * width + r.left) * 4;
    out.insert(out.end(), row, row + static_cast<std::ptrdiff_t>(r.right - r.left) * 4);
  }
  return out;
}

Rect pixel_rect(Rect base, double scale) {
  return {scale_coordinate(base.left, scale), scale_coordinate(base.top, scale), scale_coordinate(base.right, scale),
          scale_coordinate(base.bottom, scale)};
}

ComposedFrame compose(const AppState& state, Clock::time_point now = Clock::now()) {
  auto frame = compose_frame(state, now);
  EXPECT_TRUE(frame) << frame.error().to_string();
  return frame ? std::move(*frame) : ComposedFrame{};
}

platform::Window headless() { return platform::Window::create_headless({}); }

std::vector<std::string> preview_args(const fs::path& path, bool watch) {
  return {"Launcher.exe", watch ? "--render-watch" : "--render-preview", path.string()};
}

// ---- Texts -----------------------------------------------------------------

TEST(FrameTexts, IdleBusyAndProgressLines) {
  struct Case {
    const char* name;
    bool busy, ready, configured;
    std::optional<Progress> progress;
    FrameTexts expected;
    std::optional<double> ratio;
  };
  const std::string status = "สถานะ";
  const Case cases[] = {
      {"idle ready", false, true, true, std::nullopt, {status, "พร้อมเข้าเกม • 100%"}, std::nullopt},
      {"idle unconfigured", false, false, false, std::nullopt,
       {status, "QV Velmorane • ตั้งค่าเซิร์ฟเวอร์ใน Release Smith"}, std::nullopt},
      {"idle configured", false, false, true, std::nullopt,
       {status, "กด PATCH เพื่อติดตั้ง • CHECK เพื่อตรวจทุกไฟล์"}, std::nullopt},
      // Not busy, the progress of the last job stays drawn but the lines are
      // the idle ones.
      {"idle with progress", false, true, true, Progress{Stage::Done, 1, 1, ProgressUnit::Steps, "x"},
       {status, "พร้อมเข้าเกม • 100%"}, 1.0},
      {"busy without progress", true, false, true, std::nullopt, {status, ""}, std::nullopt},
      {"files", true, false, true, Progress{Stage::Validate, 37, 100, ProgressUnit::Files, "jma/001.jma"},
       {"ตรวจสอบไฟล์แพตช์  37/100 ไฟล์ • 37%", "jma/001.jma"}, 0.37},
      {"bytes", true, true, true, Progress{Stage::Download, 1572864, 3145728 + 104858, ProgressUnit::Bytes, "a.pak"},
       {"ดาวน์โหลดแพตช์  1.5/3.1 MiB • 48%", "a.pak"}, 1572864.0 / (3145728 + 104858)},
      {"bytes without total", true, false, true, Progress{Stage::Download, 5767168, std::nullopt, ProgressUnit::Bytes, ""},
       {"ดาวน์โหลดแพตช์  5.5 MiB", ""}, std::nullopt},
      {"files without total", true, false, true, Progress{Stage::Check, 12, std::nullopt, ProgressUnit::Files, "d"},
       {"ตรวจไฟล์ที่ต้องอัปเดต  ", "d"}, std::nullopt},
      {"steps without total", true, false, true, Progress{Stage::CloseGame, 0, std::nullopt, ProgressUnit::Steps, ""},
       {"ปิดเกมก่อนติดตั้ง  ", ""}, std::nullopt},
      {"steps with total", true, false, true, Progress{Stage::Apply, 1, 4, ProgressUnit::Steps, "s"},
       {"แตกไฟล์และติดตั้งแพตช์   • 25%", "s"}, 0.25},
      {"total of zero", true, false, true, Progress{Stage::Manifest, 0, 0, ProgressUnit::Files, ""},
       {"โหลดรายการไฟล์  0/0 ไฟล์ • 0%", ""}, 0.0},
      {"past the total", true, false, true, Progress{Stage::Apply, 150, 100, ProgressUnit::Files, ""},
       {"แตกไฟล์และติดตั้งแพตช์  150/100 ไฟล์ • 100%", ""}, 1.0},
      {"just below all", true, false, true, Progress{Stage::Apply, 999, 1000, ProgressUnit::Files, ""},
       {"แตกไฟล์และติดตั้งแพตช์  999/1000 ไฟล์ • 99%", ""}, 0.999},
  };
  for (const Case& c : cases) {
    const auto owned = make_state(0.25);
    AppState& state = *owned;
    state.status = status;
    state.busy = c.busy;
    state.ready = c.ready;
    if (c.configured) state.config = config_at("/nonexistent");
    state.progress = c.progress;
    const FrameTexts texts = frame_texts(state);
    EXPECT_EQ(texts.line1, c.expected.line1) << c.name;
    EXPECT_EQ(texts.line2, c.expected.line2) << c.name;
    EXPECT_EQ(progress_ratio(state.progress), c.ratio) << c.name;
  }
}

// ---- Composing -------------------------------------------------------------

TEST(ComposeFrame, GlowsFollowHoverAndFocus) {
  const auto owned = make_state(0.625);
  AppState& state = *owned;
  const auto plain = compose(state).pixels;
  const std::int32_t width = frame_size(0.625).width;
  const auto around = [&](std::int32_t n) {
    const Rect& b = TARGETS[static_cast<std::size_t>(n)].button;
    return pixel_rect({b.left - 20, b.top - 20, b.right + 20, b.bottom + 20}, 0.625);
  };
  const auto glowing = [&](std::int32_t hover, std::int32_t focus) {
    state.hover = hover;
    state.focus = focus;
    return compose(state).pixels;
  };
  // Targets 0 and 5 lie far enough apart that their glows do not meet.
  const auto hover0 = glowing(0, -1);
  const auto hover5 = glowing(5, -1);
  EXPECT_NE(region(hover0, width, around(0)), region(plain, width, around(0)));
  EXPECT_EQ(region(hover0, width, around(5)), region(plain, width, around(5)));
  // Focus glows like hover; a target both hovered and focused glows once.
  EXPECT_EQ(glowing(-1, 0), hover0);
  EXPECT_EQ(glowing(0, 0), hover0);
  // Two different targets both glow.
  const auto both = glowing(0, 5);
  EXPECT_EQ(region(both, width, around(0)), region(hover0, width, around(0)));
  EXPECT_EQ(region(both, width, around(5)), region(hover5, width, around(5)));
  // The two frame buttons glow too.
  EXPECT_NE(region(glowing(7, -1), width, around(7)), region(plain, width, around(7)));
}

TEST(ComposeFrame, BarIsDeterminateWithATotalAndSweepsWhileBusyWithout) {
  const double scale = 0.625;
  const auto owned = make_state(scale);
  AppState& state = *owned;
  const std::int32_t width = frame_size(scale).width;
  const Rect track = pixel_rect(kProgressTrack, scale);
  const auto track_of = [&](Clock::time_point now) { return region(compose(state, now).pixels, width, track); };
  const auto now = Clock::now();
  state.stage_started = now - std::chrono::milliseconds(700);
  const auto idle = track_of(now);
  EXPECT_EQ(idle, region(state.background, width, track));

  // Busy without a total: the sweep moves with the time since the stage began.
  state.busy = true;
  state.progress = Progress{Stage::Check, 3, std::nullopt, ProgressUnit::Steps, ""};
  const auto sweep = track_of(now);
  EXPECT_NE(sweep, idle);
  EXPECT_NE(track_of(now + std::chrono::milliseconds(400)), sweep);
  // A stage clock ahead of now counts as no time at all.
  state.stage_started = now + std::chrono::seconds(5);
  const auto ahead = track_of(now);
  state.stage_started = now;
  EXPECT_EQ(ahead, track_of(now));
  EXPECT_NE(ahead, idle);

  // A total of 0 is an empty determinate bar: no sweep, however long busy.
  state.stage_started = now - std::chrono::seconds(3);
  state.progress = Progress{Stage::Check, 0, 0, ProgressUnit::Files, ""};
  EXPECT_EQ(track_of(now), idle);
  // With a total the ratio fills the bar whatever the clock says, busy or not.
  state.progress = Progress{Stage::Download, 1, 2, ProgressUnit::Bytes, ""};
  const auto half = track_of(now);
  EXPECT_NE(half, idle);
  EXPECT_EQ(track_of(now + std::chrono::seconds(1)), half);
  state.busy = false;
  EXPECT_EQ(track_of(now), half);
  // Idle without a progress draws no bar.
  state.progress.reset();
  EXPECT_EQ(track_of(now), idle);
}

TEST(ComposeFrame, TextAreasAndLabelBoxesAreMadeOpaque) {
  // Over a fully transparent skin everything the frame shows is what this
  // step made opaque (the glow and the bar keep the alpha they find).
  const std::vector<std::uint8_t> clear(std::size_t{kBaseWidth} * kBaseHeight * 4, 0);
  for (const double scale : {0.625, 1.0}) {
    const auto owned = make_state(scale, clear);
    AppState& state = *owned;
    state.hover = 0;
    set_preview_progress(state, 40);
    const ComposedFrame frame = compose(state);
    const FrameSize size = frame.size;
    std::vector<Rect> opaque = {pixel_rect({410, 661, 1126, 706}, scale)};
    for (std::size_t i = 0; i < 6; ++i) {
      const Rect& box = TARGETS[i].label_box;
      opaque.push_back(pixel_rect({box.left, box.top, box.right + 2, box.bottom + 2}, scale));
    }
    std::size_t opaque_pixels = 0;
    for (std::int32_t y = 0; y < size.height; ++y) {
      for (std::int32_t x = 0; x < size.width; ++x) {
        bool inside = false;
        for (const Rect& r : opaque) inside = inside || r.contains(x, y);
        const std::uint8_t alpha = frame.pixels[(static_cast<std::size_t>(y) * size.width + x) * 4 + 3];
        ASSERT_EQ(alpha, inside ? 255 : 0) << x << "," << y << " at " << scale;
        opaque_pixels += inside;
      }
    }
    EXPECT_GT(opaque_pixels, 0u);
  }
  // At 0.625 the text area runs from column 256 (410 x 0.625 = 256.25) to 703
  // and from row 413 to 441, ends excluded.
  EXPECT_EQ(pixel_rect({410, 661, 1126, 706}, 0.625), (Rect{256, 413, 703, 441}));
}

TEST(ComposeFrame, LabelsAndPlay) {
  const auto owned = make_state(0.625);
  AppState& state = *owned;
  const auto labels = [&] {
    std::vector<std::string> out;
    for (const FontMetrics& m : compose(state).metrics) out.push_back(m.label);
    return out;
  };
  const std::vector<std::string> patch = {"PATCH", "CHECK", "STOP GAME", "REGISTER", "TOP UP", "DISCORD"};
  std::vector<std::string> play = patch;
  play[0] = "PLAY";
  EXPECT_EQ(labels(), patch);
  state.ready = true;
  EXPECT_EQ(labels(), play);
  state.busy = true;  // a job runs: PLAY waits
  EXPECT_EQ(labels(), patch);
}

TEST(ComposeFrame, RefusesFramesItCannotMake) {
  struct Case {
    const char* name;
    double scale;
    std::string_view error;
  };
  const Case cases[] = {
      {"no pixels", 0.0001, kFrameAllocationFailed},
      {"not a number", std::nan(""), kFrameAllocationFailed},
      {"larger than any window", 12.0, kFrameAllocationFailed},
  };
  for (const Case& c : cases) {
    const auto owned = make_state(1.0);
    AppState& state = *owned;
    state.scale = c.scale;  // no background could be made for these either
    auto frame = compose_frame(state, Clock::now());
    ASSERT_FALSE(frame) << c.name;
    EXPECT_EQ(frame.error().to_string(), c.error) << c.name;
  }
  // A scale changed without rebuilding the background.
  const auto owned = make_state(1.0);
  AppState& state = *owned;
  state.scale = 0.625;
  auto frame = compose_frame(state, Clock::now());
  ASSERT_FALSE(frame);
  EXPECT_EQ(frame.error().to_string(), kBackgroundSizeMismatch);
  // Nothing is presented or written for such a frame.
  TempDir dir;
  platform::Window window = headless();
  auto rendered = render_frame_with(window, state, preview_args(dir / "frame.png", true));
  ASSERT_FALSE(rendered);
  EXPECT_EQ(rendered.error().to_string(), kBackgroundSizeMismatch);
  EXPECT_TRUE(fs::is_empty(dir.path()));
}

// ---- Render preview --------------------------------------------------------

TEST(RenderPreview, RequestsAndFileNames) {
  struct RequestCase {
    std::vector<std::string> args;
    std::optional<std::string> path;
    bool watch;
  };
  const RequestCase requests[] = {
      {{"L"}, std::nullopt, false},
      {{"L", "--render-preview", "a.png"}, "a.png", false},
      {{"L", "--render-watch", "w.png"}, "w.png", true},
      {{"L", "--render-watch", "w.png", "--render-preview", "a.png"}, "a.png", true},
      // An option in last place has no value.
      {{"L", "--render-watch", "w.png", "--render-preview"}, "w.png", true},
      {{"L", "--render-preview", "a.png", "--render-watch"}, "a.png", false},
      {{"L", "--Render-Preview", "a.png"}, std::nullopt, false},
  };
  for (const RequestCase& c : requests) {
    const auto request = preview_request(c.args);
    ASSERT_EQ(request.has_value(), c.path.has_value()) << fmt::format("{}", fmt::join(c.args, " "));
    if (!request) continue;
    EXPECT_EQ(request->path, fs::path(*c.path));
    EXPECT_EQ(request->watch, c.watch);
  }

  struct FileCase {
    const char* path;
    bool watch;
    std::int32_t hover;
    const char* buttons;
    std::optional<const char*> hover_file;
    const char* report;
  };
  const FileCase files[] = {
      {"out/frame.png", true, 3, "out/frame-buttons.png", "out/frame-hover-3.png", "out/frame.json"},
      {"out/frame.png", true, -1, "out/frame-buttons.png", "out/frame-hover--1.png", "out/frame.json"},
      {"out/frame.png", false, 3, "out/frame-buttons.png", std::nullopt, "out/frame.json"},
      {"shot", false, -1, "shot-buttons.png", std::nullopt, "shot.json"},
      {"/a/b.c/x.tar.gz", true, 0, "/a/b.c/x.tar-buttons.png", "/a/b.c/x.tar-hover-0.png", "/a/b.c/x.tar.json"},
      {"d/.hidden", false, -1, "d/.hidden-buttons.png", std::nullopt, "d/.hidden.json"},
      // The stem is UTF-8 text: an ill-formed byte becomes U+FFFD in the
      // names made from it, and stays in the report's (P's own) name.
      {"d/sh\xffot.png", true, 2, "d/sh\xef\xbf\xbdot-buttons.png", "d/sh\xef\xbf\xbdot-hover-2.png", "d/sh\xffot.json"},
  };
  for (const FileCase& c : files) {
    const PreviewFiles f = preview_files(PreviewRequest{c.path, c.watch}, c.hover);
    EXPECT_EQ(f.image, fs::path(c.path));
    EXPECT_EQ(f.buttons, fs::path(c.buttons)) << c.path;
    EXPECT_EQ(f.hover, c.hover_file ? std::optional<fs::path>(*c.hover_file) : std::nullopt) << c.path;
    EXPECT_EQ(f.report, fs::path(c.report)) << c.path;
  }
}

TEST(RenderPreview, StraightRgbaSwapsAndDividesBackPartialAlpha) {
  const std::vector<std::uint8_t> bgra = {
      10, 20, 30, 0,      // transparent: colours kept, only swapped
      10, 20, 30, 255,    // opaque: likewise
      32, 64, 100, 128,   // half: 100 x 255 / 128 = 199, 64 -> 127, 32 -> 63
      200, 130, 1, 128,   // a colour above its alpha is capped at 255
      1, 1, 1, 1,         // 1 x 255 / 1 = 255
  };
  const std::vector<std::uint8_t> rgba = {
      30, 20, 10, 0, 30, 20, 10, 255, 199, 127, 63, 128, 1, 255, 255, 128, 255, 255, 255, 1,
  };
  EXPECT_EQ(to_straight_rgba(bgra), rgba);
}

TEST(RenderPreview, ReportIsSortedIndentedJson) {
  PreviewReport report;
  report.focus = 2;
  report.hover = -1;
  report.size = {960, 640};
  report.ready = true;
  report.scale = 1.0;
  report.font_metrics = {FontMetrics{"PLAY", "Cinzel Decorative", 26, 70, 18, 89, 34, {411, 758, 560, 820}, true}};
  report.progress = Progress{Stage::Done, 100, 100, ProgressUnit::Files, "jma/001.jma"};
  EXPECT_EQ(preview_report_text(report), R"({
  "focus": 2,
  "font_metrics": [
    {
      "area": [
        411,
        758,
        560,
        820
      ],
      "available_height": 34,
      "available_width": 89,
      "family": "Cinzel Decorative",
      "fits": true,
      "label": "PLAY",
      "pixel_height": 26,
      "text_height": 18,
      "text_width": 70
    }
  ],
  "height": 640,
  "hover": -1,
  "progress": {
    "completed": 100,
    "detail": "jma/001.jma",
    "stage": "Done",
    "total": 100,
    "unit": "Files"
  },
  "ready": true,
  "scale": 1.0,
  "width": 960
})");

  struct ScaleCase {
    double scale;
    const char* text;
  };
  for (const ScaleCase& c : {ScaleCase{0.625, "0.625"}, ScaleCase{2.0, "2.0"}, ScaleCase{std::nan(""), "null"},
                             ScaleCase{INFINITY, "null"}}) {
    report.scale = c.scale;
    EXPECT_NE(preview_report_text(report).find(fmt::format("\"scale\": {},", c.text)), std::string::npos) << c.text;
  }
  // Without a progress; a total that is absent; a family that is no UTF-8.
  EXPECT_EQ(progress_to_json(std::nullopt), nlohmann::json(nullptr));
  EXPECT_EQ(progress_to_json(Progress{Stage::Manifest, 5, std::nullopt, ProgressUnit::Bytes, "m"}).dump(),
            R"({"completed":5,"detail":"m","stage":"Manifest","total":null,"unit":"Bytes"})");
  report.progress.reset();
  report.font_metrics[0].family = "Bad\xff";
  const std::string text = preview_report_text(report);
  EXPECT_NE(text.find("\"progress\": null,"), std::string::npos);
  EXPECT_NE(text.find("\"family\": \"Bad\xef\xbf\xbd\","), std::string::npos);
}

// The preview of one state: the files it wrote, checked against the frame
// that state composes.
void expect_preview_matches(const AppState& state, const fs::path& path, bool watch) {
  platform::Window window = headless();
  ASSERT_TRUE(render_frame_with(window, state, preview_args(path, watch)));
  const ComposedFrame frame = compose(state);
  const FrameSize size = frame_size(state.scale);
  const PreviewFiles files = preview_files(PreviewRequest{path, watch}, state.hover);

  const RgbaImage image = read_png(files.image);
  ASSERT_EQ(image.width, static_cast<std::uint32_t>(size.width));
  ASSERT_EQ(image.height, static_cast<std::uint32_t>(size.height));
  EXPECT_TRUE(image.stored_as_rgba8);
  EXPECT_EQ(image.pixels, to_straight_rgba(frame.pixels));

  const Rect crop = pixel_rect(kPreviewCrop, state.scale);
  const RgbaImage buttons = read_png(files.buttons);
  ASSERT_EQ(buttons.width, static_cast<std::uint32_t>(crop.right - crop.left));
  ASSERT_EQ(buttons.height, static_cast<std::uint32_t>(crop.bottom - crop.top));
  EXPECT_EQ(buttons.pixels, region(image.pixels, size.width, crop));

  EXPECT_EQ(files.hover.has_value(), watch);
  if (files.hover) {
    EXPECT_EQ(test::read_file(*files.hover), test::read_file(files.image));
  }

  const auto report = nlohmann::json::parse(test::read_file(files.report));
  EXPECT_EQ(report.size(), 8u);
  EXPECT_EQ(report["width"], size.width);
  EXPECT_EQ(report["height"], size.height);
  EXPECT_EQ(report["hover"], state.hover);
  EXPECT_EQ(report["focus"], state.focus);
  EXPECT_EQ(report["ready"], state.ready);
  EXPECT_EQ(report["scale"], state.scale);
  EXPECT_EQ(report["progress"], progress_to_json(state.progress));
  ASSERT_EQ(report["font_metrics"].size(), 6u);
  for (std::size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(report["font_metrics"][i], font_metrics_json(frame.metrics[i])) << i;
    EXPECT_EQ(report["font_metrics"][i]["fits"], true) << i;
  }
}

TEST(RenderPreview, FilesMatchTheFrameAndTheReportAtEachScale) {
  struct Case {
    double scale;
    std::int32_t hover;
    std::optional<std::uint64_t> progress;
    FrameSize size;
    Rect crop;  // in frame pixels
  };
  const Case cases[] = {
      {0.625, 3, 100, {960, 640}, {140, 436, 818, 594}},
      {0.625, -1, std::nullopt, {960, 640}, {140, 436, 818, 594}},
      {1.0, 0, 40, {1536, 1024}, {225, 699, 1310, 951}},
      {1.0, 7, 0, {1536, 1024}, {225, 699, 1310, 951}},
      {2.0, 5, 99, {3072, 2048}, {450, 1398, 2620, 1902}},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(fmt::format("scale {} hover {} progress {}", c.scale, c.hover, c.progress ? *c.progress : 999));
    const auto owned = make_state(c.scale);
    AppState& state = *owned;
    state.hover = c.hover;
    if (c.progress) set_preview_progress(state, *c.progress);
    ASSERT_EQ(frame_size(c.scale).width, c.size.width);
    ASSERT_EQ(frame_size(c.scale).height, c.size.height);
    ASSERT_EQ(pixel_rect(kPreviewCrop, c.scale), c.crop);
    const fs::path out = dir / fmt::format("s{}-h{}", c.scale, c.hover) / "frame.png";
    expect_preview_matches(state, out, /*watch=*/c.hover != -1);

    // What the preview progress shows: completed, or the stage with its count.
    const FrameTexts texts = frame_texts(state);
    if (c.progress == 100u) {
      EXPECT_EQ(texts, (FrameTexts{"เสร็จสมบูรณ์ — เก็บไฟล์ทดสอบไว้แล้ว", "พร้อมเข้าเกม • 100%"}));
      EXPECT_EQ(compose(state).metrics[0].label, "PLAY");
    } else if (c.progress) {
      EXPECT_EQ(texts.line1, fmt::format("ตรวจสอบไฟล์แพตช์  {}/100 ไฟล์ • {}%", *c.progress, *c.progress));
      EXPECT_EQ(texts.line2, "jma/001.jma");
    }
  }
  // A watched frame drawn again after the pointer moved adds the new hover's
  // copy and rewrites the rest.
  const auto owned = make_state(0.625);
  AppState& state = *owned;
  state.hover = 3;
  const fs::path out = dir / "watch/frame.png";
  expect_preview_matches(state, out, true);
  state.hover = -1;
  expect_preview_matches(state, out, true);
  EXPECT_TRUE(fs::exists(dir / "watch/frame-hover-3.png"));
  EXPECT_TRUE(fs::exists(dir / "watch/frame-hover--1.png"));
}

TEST(RenderPreview, AFailingWriteEndsThePreviewWithItsError) {
  TempDir dir;
  const auto owned = make_state(0.625);
  AppState& state = *owned;
  state.hover = 2;
  platform::Window window = headless();

  // P itself cannot be written: nothing else is.
  test::write_file(dir / "blocked", "a file where a folder is expected");
  auto first = render_frame_with(window, state, preview_args(dir / "blocked/frame.png", true));
  ASSERT_FALSE(first);
  const Status direct = write_file_atomic(dir / "blocked/frame.png", "x");
  ASSERT_FALSE(direct);
  EXPECT_EQ(first.error().to_string(), direct.error().to_string());
  EXPECT_EQ(std::vector<fs::path>(fs::directory_iterator(dir.path()), {}), std::vector<fs::path>{dir / "blocked"});

  // The button block cannot be written: the image is, the hover copy and
  // the report are not, and the error is the write's own.
  fs::create_directories(dir / "out/frame-buttons.png/inside");
  auto second = render_frame_with(window, state, preview_args(dir / "out/frame.png", true));
  ASSERT_FALSE(second);
  const Status over_folder = write_file_atomic(dir / "out/frame-buttons.png", "x");
  ASSERT_FALSE(over_folder);
  EXPECT_EQ(second.error().to_string(), over_folder.error().to_string());
  EXPECT_TRUE(fs::exists(dir / "out/frame.png"));
  EXPECT_FALSE(fs::exists(dir / "out/frame-hover-2.png"));
  EXPECT_FALSE(fs::exists(dir / "out/frame.json"));
}

TEST(RenderPreview, APresentFailureIsReportedAfterThePreviewIsWritten) {
  TempDir dir;
  const auto owned = make_state(0.625);
  AppState& state = *owned;
  platform::Window window = headless();
  window.destroy();
  auto rendered = render_frame_with(window, state, preview_args(dir / "frame.png", false));
  ASSERT_FALSE(rendered);
  EXPECT_EQ(rendered.error().to_string(), "present frame: the window is closed");
  EXPECT_TRUE(fs::exists(dir / "frame.json"));
  // Both failing: the preview's error is the one reported.
  test::write_file(dir / "blocked", "");
  const Status blocked = write_file_atomic(dir / "blocked/frame.png", "x");
  ASSERT_FALSE(blocked);
  auto both = render_frame_with(window, state, preview_args(dir / "blocked/frame.png", false));
  ASSERT_FALSE(both);
  EXPECT_EQ(both.error().to_string(), blocked.error().to_string());
}

// ---- paint -----------------------------------------------------------------

std::string log_of(const fs::path& root) {
  const fs::path log = root / ".launcher/state/errors.txt";
  return fs::exists(log) ? test::read_file(log) : std::string();
}

TEST(Paint, AFailureBecomesTheStatusAndTheBareTitle) {
  TempDir dir;
  const auto owned = make_state(0.625);
  AppState& state = *owned;
  state.config = config_at(dir.path());
  state.status = "กำลังตรวจรายการอัปเดต...";
  platform::Window window = headless();
  window.set_title("QV Velmorane — kept");
  paint(window, state);
  EXPECT_EQ(state.status, "กำลังตรวจรายการอัปเดต...");
  EXPECT_EQ(window.title(), "QV Velmorane — kept");
  EXPECT_EQ(log_of(dir.path()), "");

  window.destroy();
  paint(window, state);
  EXPECT_EQ(state.status, "present frame: the window is closed");
  EXPECT_EQ(window.title(), state.status);
  const std::string log = log_of(dir.path());
  EXPECT_TRUE(log.starts_with("[UTC unix-ms=")) << log;
  EXPECT_TRUE(log.ends_with(" paint]\npresent frame: the window is closed\n\n")) << log;
}

// paint in a process started with "--render-watch P": the render options come
// from the process's own command line. The first repaint cannot write P (its
// folder is a file); the blocker is then removed and the next repaint writes
// the preview. Says the status and the title after each.
QV_CHILD_MODE(paint_watched) {
  const fs::path root = args.at(0);
  const auto owned = make_state(0.625);
  AppState& state = *owned;
  state.config = config_at(root);
  state.hover = 4;
  state.status = "before";
  platform::Window window = headless();
  paint(window, state);
  test::child_say(state.status);
  test::child_say(window.title());
  fs::remove(root / "shots");
  paint(window, state);
  test::child_say(state.status);
  return 0;
}

TEST(Paint, ReadsTheRenderOptionsOfTheProcess) {
  TempDir dir;
  test::write_file(dir / "shots", "not a folder");
  const fs::path shot = dir / "shots/frame.png";
  const Status expected = write_file_atomic(shot, "x");
  ASSERT_FALSE(expected);
  test::Child child = test::Child::start_self("paint_watched", {dir.path().string(), "--render-watch", shot.string()});
  const auto status = child.read_line();
  const auto title = child.read_line();
  const auto after = child.read_line();
  const test::ChildExit exit = child.wait();
  EXPECT_EQ(exit.exit_code, 0);
  ASSERT_TRUE(status && title && after);
  EXPECT_EQ(*status, expected.error().to_string());
  EXPECT_EQ(*title, *status);
  EXPECT_TRUE(log_of(dir.path()).ends_with(fmt::format(" paint]\n{}\n\n", *status))) << log_of(dir.path());
  // The next repaint tried again, wrote every file and changed no status.
  EXPECT_EQ(*after, *status);
  for (const char* name : {"frame.png", "frame-buttons.png", "frame-hover-4.png", "frame.json"}) {
    EXPECT_TRUE(fs::exists(dir / "shots" / name)) << name;
  }
}

// paint over a state whose labels cannot be measured (the label font cannot
// be opened at a height of 0 pixels), in a process with the program's own
// handler of internal failures and "--config" naming a file in the client
// folder given, where the handler records.
QV_CHILD_MODE(paint_unmeasurable) {
  set_failure_handler(&record_panic);
  const auto owned = make_state(0.01);
  AppState& state = *owned;
  state.status = "before";
  platform::Window window = headless();
  paint(window, state);
  test::child_say(state.status);
  return 0;
}

// An unmeasurable label is an internal failure: a "panic" record and the
// process ends with its own status, neither the fatal error that shows a box
// and ends with 0, nor a "paint" status that every repaint would record again.
TEST(Paint, AnUnmeasurableLabelEndsTheProcessAsAnInternalFailure) {
  TempDir dir;
  const test::ChildExit ended = test::run_self("paint_unmeasurable", {"--config", (dir / "launcher.json").string()});
  EXPECT_EQ(ended.exit_code, kInternalFailureExitCode);
  EXPECT_EQ(ended.output, "") << "paint returned";
  const std::string log = log_of(dir.path());
  EXPECT_TRUE(log.ends_with(" panic]\nbutton glyph metrics\n\n")) << log;
  EXPECT_EQ(log.find(" paint]"), std::string::npos) << log;
}

// ---- Presenting on a display ------------------------------------------------

class FrameOnDisplay : public test::PrivateDisplayTest {
 protected:
  static void SetUpTestSuite() { start_display("1920x1080x24"); }
  static void TearDownTestSuite() { stop_display(); }
};

TEST_F(FrameOnDisplay, TheWindowShowsTheComposedFrame) {
  // A compositing manager runs: the window shows every pixel of its frame,
  // the transparent ones too, and all can be read back.
  client().own_selection("_NET_WM_CM_S0");
  const double scale = 0.625;
  const auto owned = make_state(scale);
  AppState& state = *owned;
  state.hover = 1;
  set_preview_progress(state, 62);
  platform::WindowOptions options;
  options.title = "QV Velmorane";
  options.class_name = "QVLauncherLayeredV1";
  options.width = 1536 * 5 / 8;
  options.height = 1024 * 5 / 8;
  auto window = platform::Window::create(options);
  ASSERT_TRUE(window) << window.error().to_string();
  window->show();
  ASSERT_TRUE(render_frame_with(*window, state, {}));
  const FrameSize size = frame_size(scale);
  ASSERT_TRUE(client().wait_viewable(window->id(), size.width, size.height));
  // A window without per-pixel opacity shows the colours alone.
  const auto expect_shown = [&](const std::vector<std::uint8_t>& frame) {
    const auto seen = client().pixels(window->id(), size.width, size.height);
    ASSERT_EQ(seen.size(), frame.size());
    for (std::size_t i = 0; i < seen.size(); ++i) {
      if (window->has_alpha() || i % 4 != 3) {
        ASSERT_EQ(seen[i], frame[i]) << "byte " << i;
      }
    }
  };
  expect_shown(compose(state).pixels);
  // A later frame replaces it: the pointer left, the check finished.
  state.hover = -1;
  set_preview_progress(state, 100);
  ASSERT_TRUE(render_frame_with(*window, state, {}));
  expect_shown(compose(state).pixels);
}

}  // namespace
}  // namespace qv
