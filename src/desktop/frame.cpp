#include "desktop/frame.hpp"

#include <algorithm>
#include <array>
#include <new>

#include <fmt/format.h>

#include "desktop/error_report.hpp"
#include "desktop/preview.hpp"
#include "desktop/theme.hpp"
#include "platform/process_info.hpp"

namespace qv {
namespace {

constexpr std::string_view kReadyLine = "พร้อมเข้าเกม • 100%";
constexpr std::string_view kUnconfiguredLine = "QV Velmorane • ตั้งค่าเซิร์ฟเวอร์ใน Release Smith";
constexpr std::string_view kIdleLine = "กด PATCH เพื่อติดตั้ง • CHECK เพื่อตรวจทุกไฟล์";
constexpr std::string_view kPaintContext = "paint";
constexpr double kMebibyte = 1024.0 * 1024.0;

// The areas that are opaque whatever the skin has there: the two text lines
// with a margin, and each label box widened by 2 base pixels to the right and
// the bottom, so that anti-aliased text never shows the desktop through it.
constexpr std::array<Rect, 7> kOpaqueAreas = [] {
  std::array<Rect, 7> areas{};
  areas[0] = {410, 661, 1126, 706};
  for (std::size_t i = 0; i < 6; ++i) {
    const Rect& box = TARGETS[i].label_box;
    areas[i + 1] = {box.left, box.top, box.right + 2, box.bottom + 2};
  }
  return areas;
}();

std::string progress_counter(const Progress& p) {
  switch (p.unit) {
    case ProgressUnit::Bytes:
      if (p.total) {
        return fmt::format("{:.1f}/{:.1f} MiB", static_cast<double>(p.completed) / kMebibyte,
                           static_cast<double>(*p.total) / kMebibyte);
      }
      return fmt::format("{:.1f} MiB", static_cast<double>(p.completed) / kMebibyte);
    case ProgressUnit::Files:
      if (p.total) return fmt::format("{}/{} ไฟล์", p.completed, *p.total);
      return {};
    case ProgressUnit::Steps: return {};
  }
  return {};
}

void make_opaque(const FrameView& frame, double scale) {
  for (const Rect& area : kOpaqueAreas) {
    const std::int32_t left = std::max(0, scale_coordinate(area.left, scale));
    const std::int32_t right = std::min(frame.width, scale_coordinate(area.right, scale));
    const std::int32_t top = std::max(0, scale_coordinate(area.top, scale));
    const std::int32_t bottom = std::min(frame.height, scale_coordinate(area.bottom, scale));
    for (std::int32_t y = top; y < bottom; ++y) {
      for (std::int32_t x = left; x < right; ++x) frame.pixel(x, y)[3] = 255;
    }
  }
}

// Seconds since the stage began, for the bar's sweep; 0 for a start ahead of
// `now`.
double seconds_since(std::chrono::steady_clock::time_point start, std::chrono::steady_clock::time_point now) {
  if (now <= start) return 0.0;
  return std::chrono::duration<double>(now - start).count();
}

}  // namespace

std::optional<double> progress_ratio(const std::optional<Progress>& progress) {
  if (!progress || !progress->total) return std::nullopt;
  if (*progress->total == 0) return 0.0;
  return std::min(1.0, static_cast<double>(progress->completed) / static_cast<double>(*progress->total));
}

FrameTexts frame_texts(const AppState& state) {
  if (!state.busy) {
    std::string_view line2 = state.ready ? kReadyLine : !state.config ? kUnconfiguredLine : kIdleLine;
    return {state.status, std::string(line2)};
  }
  if (!state.progress) return {state.status, {}};
  const Progress& p = *state.progress;
  const auto ratio = progress_ratio(state.progress);
  return {fmt::format("{}  {}{}", stage_label(p.stage), progress_counter(p), ratio ? percent_suffix(*ratio) : ""),
          p.detail};
}

Result<ComposedFrame> compose_frame(const AppState& state, std::chrono::steady_clock::time_point now) {
  const double scale = state.scale;
  ComposedFrame frame;
  frame.size = frame_size(scale);
  const auto side_ok = [](std::int32_t side) { return side >= 1 && side <= platform::kMaxWindowSide; };
  if (!side_ok(frame.size.width) || !side_ok(frame.size.height)) return fail(std::string(kFrameAllocationFailed));
  const std::size_t bytes =
      static_cast<std::size_t>(frame.size.width) * static_cast<std::size_t>(frame.size.height) * 4;
  if (state.background.size() != bytes) return fail(std::string(kBackgroundSizeMismatch));
  try {
    frame.pixels.assign(state.background.begin(), state.background.end());
  } catch (const std::bad_alloc&) {
    return fail(std::string(kFrameAllocationFailed));
  }
  const FrameView view{frame.pixels, frame.size.width, frame.size.height};

  // A target both hovered and focused glows once.
  for (std::int32_t n = 0; n < static_cast<std::int32_t>(kTargetCount); ++n) {
    if (state.hover == n || state.focus == n) draw_glow(view, scale, n);
  }

  if (const auto ratio = progress_ratio(state.progress)) {
    draw_progress_bar(view, scale, ratio, std::nullopt);
  } else if (state.busy) {
    draw_progress_bar(view, scale, std::nullopt, seconds_since(state.stage_started, now));
  }

  TextContext text{view, scale, state.font, frame.metrics};
  const FrameTexts lines = frame_texts(state);
  draw_text(text, lines.line1, kTextLine1Box, kTextLine1Size, TextMode::Body);
  draw_text(text, lines.line2, kTextLine2Box, kTextLine2Size, TextMode::Body);
  for (std::size_t i = 0; i < 6; ++i) {
    const TargetSpec& target = TARGETS[i];
    const std::string_view label = i == 0 && !state.busy && state.ready ? kPlayLabel : target.label;
    draw_text(text, label, target.label_box, target.label_size, TextMode::Label);
  }

  make_opaque(view, scale);
  return frame;
}

Status render_frame_with(platform::Window& window, const AppState& state, std::span<const std::string> args) {
  ComposedFrame frame = QV_TRY(compose_frame(state, std::chrono::steady_clock::now()));
  // Presented first: a preview that cannot be written still leaves the
  // window showing this frame.
  const Status presented = window.present(frame.pixels, frame.size.width, frame.size.height);
  if (const auto request = preview_request(args)) {
    const PreviewReport report{state.focus,    state.hover, std::move(frame.metrics), frame.size,
                               state.progress, state.ready, state.scale};
    QV_TRY(write_preview(*request, frame.pixels, report));
  }
  if (!presented) return std::unexpected(presented.error().context(std::string(kPresentFailed)));
  return {};
}

Status render_frame(platform::Window& window, const AppState& state) {
  // The command line does not change while the process runs; a repaint ten
  // times a second need not read it again.
  static const std::vector<std::string> args = platform::process_arguments();
  return render_frame_with(window, state, args);
}

void paint(platform::Window& window, AppState& state) {
  const Status drawn = render_frame(window, state);
  if (drawn) return;
  state.status = record_ui_error(state.client_root(), kPaintContext, drawn.error().to_string());
  window.set_title(state.status);
}

}  // namespace qv
