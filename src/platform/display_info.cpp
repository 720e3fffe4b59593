#include "platform/display_info.hpp"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xresource.h>
#include <X11/extensions/Xrandr.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>

#include "platform/x11_connection.hpp"

namespace qv::platform {
namespace {

constexpr double kMinDpi = 1.0;
constexpr double kMaxDpi = 10000.0;
// Resource databases are a few kilobytes; a larger property is read this far.
constexpr std::size_t kMaxResourceBytes = 1 << 20;
// _NET_WORKAREA holds four values per virtual desktop.
constexpr std::size_t kMaxWorkAreaValues = 4 * 1024;

std::int64_t overlap(std::int64_t a0, std::int64_t a1, std::int64_t b0, std::int64_t b1) {
  return std::max<std::int64_t>(0, std::min(a1, b1) - std::max(a0, b0));
}

// How far apart two ranges are along one axis; 0 when they touch or overlap.
std::int64_t gap(std::int64_t a0, std::int64_t a1, std::int64_t b0, std::int64_t b1) {
  if (a1 <= b0) return b0 - a1;
  if (b1 <= a0) return a0 - b1;
  return 0;
}

double distance(const ScreenRect& a, const ScreenRect& b) {
  const auto dx = static_cast<double>(gap(a.left, a.right, b.left, b.right));
  const auto dy = static_cast<double>(gap(a.top, a.bottom, b.top, b.bottom));
  return std::hypot(dx, dy);
}

std::int32_t clamp32(long long v) {
  return static_cast<std::int32_t>(
      std::clamp<long long>(v, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

ScreenRect rect_of(long long x, long long y, long long width, long long height) {
  return ScreenRect{clamp32(x), clamp32(y), clamp32(x + width), clamp32(y + height)};
}

// The active RandR monitors, the primary one first so that a caller that
// wants "the" monitor takes the one the user chose.
std::vector<Monitor> randr_monitors(x11::Connection& connection) {
  std::vector<Monitor> out;
  int event_base = 0;
  int error_base = 0;
  int major = 0;
  int minor = 0;
  Display* display = connection.display();
  if (!XRRQueryExtension(display, &event_base, &error_base) || !XRRQueryVersion(display, &major, &minor)) return out;
  if (major < 1 || (major == 1 && minor < 5)) return out;
  int count = 0;
  XRRMonitorInfo* monitors = XRRGetMonitors(display, connection.root(), True, &count);
  if (monitors == nullptr) return out;
  for (int i = 0; i < count; ++i) {
    const XRRMonitorInfo& m = monitors[i];
    if (m.width <= 0 || m.height <= 0) continue;
    Monitor monitor;
    monitor.bounds = rect_of(m.x, m.y, m.width, m.height);
    monitor.primary = m.primary != 0;
    out.push_back(monitor);
  }
  XRRFreeMonitors(monitors);
  std::stable_partition(out.begin(), out.end(), [](const Monitor& m) { return m.primary; });
  return out;
}

std::optional<ScreenRect> current_work_area(x11::Connection& connection) {
  auto areas = connection.long_property(connection.root(), connection.atom("_NET_WORKAREA"), XA_CARDINAL,
                                        kMaxWorkAreaValues);
  if (areas.size() < 4) return std::nullopt;
  std::size_t desktop = 0;
  auto current = connection.long_property(connection.root(), connection.atom("_NET_CURRENT_DESKTOP"), XA_CARDINAL, 1);
  if (!current.empty() && current[0] >= 0) desktop = static_cast<std::size_t>(current[0]);
  if (4 * desktop + 3 >= areas.size()) desktop = 0;
  const long* a = areas.data() + 4 * desktop;
  if (a[2] <= 0 || a[3] <= 0) return std::nullopt;
  return rect_of(a[0], a[1], a[2], a[3]);
}

}  // namespace

const Monitor* DisplayInfo::monitor_near(std::int32_t x, std::int32_t y) const {
  return monitor_near(ScreenRect{x, y, x == std::numeric_limits<std::int32_t>::max() ? x : x + 1,
                                 y == std::numeric_limits<std::int32_t>::max() ? y : y + 1});
}

const Monitor* DisplayInfo::monitor_near(const ScreenRect& rect) const {
  const Monitor* best = nullptr;
  std::int64_t best_area = 0;
  for (const Monitor& m : monitors) {
    const std::int64_t area = overlap(rect.left, rect.right, m.bounds.left, m.bounds.right) *
                              overlap(rect.top, rect.bottom, m.bounds.top, m.bounds.bottom);
    if (area > best_area) best = &m, best_area = area;
  }
  if (best != nullptr) return best;
  double best_distance = std::numeric_limits<double>::infinity();
  for (const Monitor& m : monitors) {
    const double d = distance(rect, m.bounds);
    if (d < best_distance) best = &m, best_distance = d;
  }
  return best;
}

std::optional<double> parse_xft_dpi(std::string_view resources) {
  XrmInitialize();
  const std::string text(resources.substr(0, resources.find('\0')));
  XrmDatabase database = XrmGetStringDatabase(text.c_str());
  if (database == nullptr) return std::nullopt;
  char* type = nullptr;
  XrmValue value{};
  std::optional<double> dpi;
  if (XrmGetResource(database, "Xft.dpi", "Xft.Dpi", &type, &value) && value.addr != nullptr) {
    std::string_view v(value.addr, value.size > 0 ? value.size - 1 : 0);
    v = v.substr(0, v.find('\0'));
    while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
    while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.remove_suffix(1);
    double parsed = 0;
    auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), parsed);
    if (ec == std::errc() && end == v.data() + v.size() && !v.empty() && parsed >= kMinDpi && parsed <= kMaxDpi) {
      dpi = parsed;
    }
  }
  XrmDestroyDatabase(database);
  return dpi;
}

namespace x11 {

double read_dpi(Connection& connection) {
  auto resources =
      connection.text_property(connection.root(), connection.atom("RESOURCE_MANAGER"), kMaxResourceBytes);
  if (!resources) return kBaseDpi;
  return parse_xft_dpi(*resources).value_or(kBaseDpi);
}

DisplayInfo read_display_info(Connection& connection) {
  DisplayInfo info;
  info.connected = true;
  info.dpi = read_dpi(connection);
  info.monitors = randr_monitors(connection);
  if (info.monitors.empty()) {
    Display* display = connection.display();
    Monitor whole;
    const int screen = connection.screen();
    whole.bounds = rect_of(0, 0, DisplayWidth(display, screen), DisplayHeight(display, screen));
    whole.primary = true;
    info.monitors.push_back(whole);
  }
  const std::optional<ScreenRect> work = current_work_area(connection);
  for (Monitor& m : info.monitors) {
    m.work_area = m.bounds;
    if (!work) continue;
    const ScreenRect cut{std::max(m.bounds.left, work->left), std::max(m.bounds.top, work->top),
                         std::min(m.bounds.right, work->right), std::min(m.bounds.bottom, work->bottom)};
    if (cut.width() > 0 && cut.height() > 0) m.work_area = cut;
  }
  return info;
}

}  // namespace x11

DisplayInfo query_display() {
  auto connection = x11::Connection::open();
  if (!connection) return DisplayInfo{};
  return x11::read_display_info(*connection);
}

}  // namespace qv::platform
