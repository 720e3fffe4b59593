// What the display tells a window about its size and placement: the scale the
// user chose (Xft.dpi in the root window's RESOURCE_MANAGER, as every desktop
// sets it), and the monitors with their work areas (the monitor without the
// panels and docks of the desktop).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace qv::platform {

// A rectangle in screen pixels; `right` and `bottom` are excluded.
struct ScreenRect {
  std::int32_t left = 0;
  std::int32_t top = 0;
  std::int32_t right = 0;
  std::int32_t bottom = 0;

  std::int64_t width() const { return std::int64_t{right} - left; }
  std::int64_t height() const { return std::int64_t{bottom} - top; }
  bool operator==(const ScreenRect&) const = default;
};

struct Monitor {
  ScreenRect bounds;
  // `bounds` less what the window manager reserves (_NET_WORKAREA of the
  // current desktop); `bounds` itself when no window manager says.
  ScreenRect work_area;
  bool primary = false;
};

// The dots per inch of a display that sets no Xft.dpi: scale 1.
inline constexpr double kBaseDpi = 96.0;

struct DisplayInfo {
  // False when no display could be reached; the rest then holds the
  // defaults: 96 dpi and no monitor.
  bool connected = false;
  double dpi = kBaseDpi;
  // The monitors of the default screen (RandR monitors; the whole screen as
  // one monitor where the server has none).
  std::vector<Monitor> monitors;

  // dpi / 96: 1.0 at 96 dpi, 1.5 at 144 dpi.
  double scale() const { return dpi / kBaseDpi; }

  // The monitor that holds the point, else the one nearest to it; nothing
  // when there is no monitor.
  const Monitor* monitor_near(std::int32_t x, std::int32_t y) const;
  // The monitor that shares the largest area with `rect`, else the one
  // nearest to it; nothing when there is no monitor.
  const Monitor* monitor_near(const ScreenRect& rect) const;
};

// Reads the display named by DISPLAY over a connection of its own, closed
// before returning. Never fails: without a display it returns the defaults.
// Any thread.
DisplayInfo query_display();

// The Xft.dpi resource of a resource-manager text (the lines of `xrdb`), by
// the resource manager's own matching rules (so "Xft.dpi", "Xft*dpi" and
// "*dpi" all apply); nothing when it is absent or not a number between 1 and
// 10000. Needs no display.
std::optional<double> parse_xft_dpi(std::string_view resources);

}  // namespace qv::platform
