#include "desktop/startup.hpp"

#include <memory>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "core/foundations/config.hpp"
#include "core/foundations/number_text.hpp"
#include "core/self_update/health.hpp"
#include "desktop/assets.hpp"
#include "desktop/design_space.hpp"
#include "desktop/error_report.hpp"
#include "desktop/frame.hpp"
#include "desktop/jobs.hpp"
#include "desktop/png_codec.hpp"
#include "desktop/preview.hpp"
#include "desktop/window_context.hpp"
#include "desktop/window_geometry.hpp"
#include "desktop/window_proc.hpp"
#include "platform/fs.hpp"
#include "platform/message_loop.hpp"
#include "platform/process_info.hpp"
#include "platform/window.hpp"

namespace qv {
namespace {

constexpr std::string_view kPreviewFontFile = "--preview-font-file";
constexpr std::string_view kPreviewFontFamily = "--preview-font-family";
constexpr std::string_view kPreviewFontWeight = "--preview-font-weight";
constexpr std::string_view kPreviewScale = "--preview-scale";
constexpr std::string_view kPreviewHover = "--preview-hover";
constexpr std::string_view kPreviewProgress = "--preview-progress";
constexpr std::string_view kHealthToken = "--health-token";
constexpr std::string_view kConfigurationContext = "configuration";

// Where the window's position is measured from when the display has no
// monitor to say.
constexpr std::int32_t kFallbackPosition = 100;
// A skin larger than this is refused by its size, not by the decoder.
constexpr std::uint64_t kSkinDecodeLimit = std::uint64_t{1} << 26;

// The font a preview names, or the embedded one, added to the process.
Result<LoadedFont> add_label_font(const std::optional<PreviewFont>& preview) {
  if (preview) {
    const auto canonical = QV_TRY(platform::canonicalize(preview->file));
    auto added = PrivateFont::add_file(canonical);
    if (!added) return fail(added.error().context("load preview font"));
    return LoadedFont{preview->family, std::move(*added), preview->weight};
  }
  auto added = PrivateFont::add_memory(embedded_label_font());
  if (!added) return fail(added.error().context("load embedded Cinzel Decorative font"));
  if (added->face_count() == 0) return fail("embedded font has no faces");
  return LoadedFont{kLabelFontFamily, std::move(*added), kLabelFontWeight};
}

Result<LoadedFont> load_label_font(std::span<const std::string> args) {
  const auto preview = QV_TRY(read_preview_font(args));
  LoadedFont font = QV_TRY(add_label_font(preview));
  QV_TRY(verify_font(font));
  return font;
}

Result<std::vector<std::uint8_t>> decode_skin() {
  auto image = QV_TRY(decode_png(embedded_skin_png(), kSkinDecodeLimit));
  if (!image.stored_as_rgba8 || image.width != kBaseWidth || image.height != kBaseHeight) {
    return fail("skin must be 1536x1024 RGBA");
  }
  return std::move(image.pixels);
}

// The configuration, if one is found, and the status it gives. A file that
// was asked for ("--config") and cannot be found or loaded, or one beside the
// program that does not load, is a configuration error naming the file; only
// a client where none was asked for and none lies beside the program is
// unconfigured.
void load_configuration(AppState& state, std::span<const std::string> args) {
  const auto path = config_path();
  if (!path) {
    const auto asked = arg_value_in(args, kConfigOption);
    if (!asked) {
      state.status = std::string(kUnconfiguredStatus);
      return;
    }
    state.status = record_ui_error(std::nullopt, kConfigurationContext,
                                   fmt::format(kConfigurationError, *asked, path.error().to_string()));
    return;
  }
  state.config_file = *path;
  auto config = load_config(*path);
  if (!config) {
    state.status = record_ui_error(std::nullopt, kConfigurationContext,
                                   fmt::format(kConfigurationError, path->string(), config.error().to_string()));
    return;
  }
  state.config = std::move(*config);
  state.status = std::string(kCheckingStatus);
}

// The window icons from the embedded PNGs; a size that does not decode is
// left out.
void set_window_icons(platform::Window& window) {
  std::vector<RgbaImage> decoded;
  for (const EmbeddedIcon& icon : embedded_icons()) {
    auto image = decode_png(icon.png, std::uint64_t{icon.size} * icon.size);
    if (image) decoded.push_back(std::move(*image));
  }
  std::vector<platform::IconImage> images;
  for (const RgbaImage& image : decoded) images.push_back({image.width, image.height, image.pixels});
  // A window without its icon still works; nothing to tell the player.
  (void)window.set_icon(images);
}

Result<platform::Window> create_window(const AppState& state, const platform::DisplayInfo& display, bool headless) {
  const FrameSize size = frame_size(state.scale);
  WindowPosition position{kFallbackPosition, kFallbackPosition};
  if (const platform::Monitor* monitor = display.monitor_near(kFallbackPosition, kFallbackPosition)) {
    position = centred_in(monitor->work_area, size.width, size.height);
  }
  platform::WindowOptions options;
  options.title = std::string(kWindowTitle);
  options.class_name = std::string(kWindowClass);
  options.x = position.x;
  options.y = position.y;
  // Truncated here, rounded for the frame: the first frame gives the window
  // the frame's size.
  options.width = saturate_to_i32(kBaseWidth * state.scale);
  options.height = saturate_to_i32(kBaseHeight * state.scale);
  if (headless) return platform::Window::create_headless(options);
  auto window = platform::Window::create(options);
  if (!window) return fail(window.error().context("create window"));
  set_window_icons(*window);
  return window;
}

}  // namespace

Result<std::optional<PreviewFont>> read_preview_font(std::span<const std::string> args) {
  const auto file = arg_value_in(args, kPreviewFontFile);
  if (!file) return std::optional<PreviewFont>();
  if (!arg_value_in(args, kRenderPreviewOption)) return fail("font choice is preview-only");
  auto family = arg_value_in(args, kPreviewFontFamily);
  if (!family) return fail("preview font family required");
  const std::int32_t weight = QV_TRY(parse_i32(arg_value_in(args, kPreviewFontWeight).value_or("400")));
  if (weight < 100 || weight > 900) return fail("font weight out of range");
  return std::optional<PreviewFont>(PreviewFont{*file, std::move(*family), weight});
}

Result<PreviewOptions> read_preview_options(std::span<const std::string> args) {
  PreviewOptions options;
  if (const auto text = arg_value_in(args, kPreviewScale)) {
    const double scale = QV_TRY(parse_f64(*text));
    // Written so that a scale that is not a number is out of range too.
    if (!(scale >= 0.25 && scale <= 2.0)) return fail("preview scale out of range");
    options.scale = scale;
  }
  if (const auto text = arg_value_in(args, kPreviewHover)) {
    const std::int32_t hover = QV_TRY(parse_i32(*text));
    if (hover < 0 || hover > 7) return fail("preview hover out of range");
    options.hover = hover;
  }
  if (const auto text = arg_value_in(args, kPreviewProgress)) {
    const std::uint64_t percent = QV_TRY(parse_u64(*text));
    if (percent > 100) return fail("preview percent out of range");
    options.progress = percent;
  }
  return options;
}

void apply_preview_progress(AppState& state, std::uint64_t percent) {
  const bool done = percent == 100;
  state.busy = !done;
  state.ready = done;
  state.status = done ? "เสร็จสมบูรณ์ — เก็บไฟล์ทดสอบไว้แล้ว" : "ตรวจสอบไฟล์";
  state.progress = Progress{done ? Stage::Done : Stage::Validate, percent, 100, ProgressUnit::Files, "jma/001.jma"};
}

double startup_scale(const platform::DisplayInfo& display) {
  return fitted_scale(display.dpi, display.monitor_near(kFallbackPosition, kFallbackPosition));
}

Status run() {
  const std::vector<std::string> args = platform::process_arguments();
  LoadedFont font = QV_TRY(load_label_font(args));
  auto skin = QV_TRY(decode_skin());
  // The window keeps the state's address for its whole life.
  auto state = std::make_unique<AppState>(std::move(font), std::move(skin));
  load_configuration(*state, args);

  const platform::DisplayInfo display = platform::query_display();
  double scale = startup_scale(display);
  const auto preview = preview_request(args);
  if (preview) {
    if (state->config) return fail("render diagnostics require no client configuration");
    const PreviewOptions options = QV_TRY(read_preview_options(args));
    if (options.scale) scale = *options.scale;
    if (options.hover) state->hover = *options.hover;
    if (options.progress) apply_preview_progress(*state, *options.progress);
  }
  state->set_scale(scale);

  // A still preview never shows its window, so it needs no display.
  const bool still_preview = arg_value_in(args, kRenderPreviewOption).has_value();
  platform::Window window = QV_TRY(create_window(*state, display, still_preview));
  WindowContext context{*state, window, args, preview.has_value(), std::nullopt};

  if (auto drawn = render_frame_with(window, *state, args); !drawn) {
    window.destroy();
    return drawn;
  }
  if (!still_preview) window.show();

  const auto health_id = arg_value_in(args, kHealthIdOption);
  const auto health_token = arg_value_in(args, kHealthToken);
  if (health_id && health_token && state->config) {
    if (auto answered = answer_health_check(*state->config, *health_id, *health_token); !answered) {
      window.destroy();
      return answered;
    }
    state->check_pending = true;
    state->status = std::string(kUpdatedStatus);
  } else if (!still_preview) {
    start_startup_worker(*state);
  }
  if (still_preview) window.destroy();

  // A display that goes away ends the loop as closing the window does.
  (void)platform::run_message_loop(window,
                                   [&context](const platform::WindowEvent& event) { window_proc(context, event); });
  return {};
}

}  // namespace qv
