// The desktop application: choosing and loading the label font, finding and
// loading the configuration, building the window state, sizing and placing
// the window, the render-preview options, the first frame, the health
// handshake of a freshly updated launcher or the start-up job, and the
// message loop until the window is destroyed.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/error.hpp"
#include "desktop/app_state.hpp"
#include "platform/display_info.hpp"

namespace qv {

inline constexpr std::string_view kWindowClass = "QVLauncherLayeredV1";
inline constexpr std::string_view kUnconfiguredStatus = "ยังไม่ได้ตั้งค่า launcher.json — หน้าตัวอย่างพร้อมใช้งาน";
inline constexpr std::string_view kCheckingStatus = "กำลังตรวจรายการอัปเดต...";
inline constexpr std::string_view kUpdatedStatus = "Launcher updated; ready to check game";
// A configuration that cannot be found or loaded: the file, then the error's
// whole chain.
inline constexpr const char* kConfigurationError = "Configuration: {}: {}";

// The font a render preview asks for in place of the embedded one.
struct PreviewFont {
  std::filesystem::path file;  // as given
  std::string family;
  std::int32_t weight = 400;
};

// "--preview-font-file" and its companions; none when that option has no
// value. Fails with "font choice is preview-only" without a
// "--render-preview" value, "preview font family required", the number
// parser's error, or "font weight out of range" outside 100 to 900.
Result<std::optional<PreviewFont>> read_preview_font(std::span<const std::string> args);

// What "--preview-scale", "--preview-hover" and "--preview-progress" ask,
// read in that order; the first parse or range error is returned ("preview
// scale out of range" unless 0.25 to 2, "preview hover out of range" unless 0
// to 7, "preview percent out of range" above 100).
struct PreviewOptions {
  std::optional<double> scale;
  std::optional<std::int32_t> hover;
  std::optional<std::uint64_t> progress;
};
Result<PreviewOptions> read_preview_options(std::span<const std::string> args);

// The simulated state of "--preview-progress N": a running validation at N of
// 100 files, or at 100 the finished, ready state.
void apply_preview_progress(AppState& state, std::uint64_t percent);

// The start-up scale for the display: its dots per inch fitted to the monitor
// nearest the point (100, 100).
double startup_scale(const platform::DisplayInfo& display);

// Runs the application with the process's command line. Returns once the
// window has been destroyed (success), or the first error that ends the
// start-up. Main thread only; called once.
Status run();

}  // namespace qv
