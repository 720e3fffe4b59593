#include "support/launcher_window.hpp"

#include <X11/Xlib.h>

#include <cmath>
#include <thread>

namespace qv::test {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kBaseWidth = 1536;

// The viewable top-level window whose title begins with the launcher's.
std::optional<std::uint64_t> find_launcher(testing::XClient& x) {
  Display* display = x.display();
  ::Window root_return = 0;
  ::Window parent = 0;
  ::Window* children = nullptr;
  unsigned int count = 0;
  std::optional<std::uint64_t> found;
  if (XQueryTree(display, x.root(), &root_return, &parent, &children, &count)) {
    for (unsigned int i = 0; i < count && !found; ++i) {
      const auto name = x.text_property(children[i], "_NET_WM_NAME");
      const auto geometry = x.geometry(children[i]);
      if (name && name->starts_with(kLauncherTitlePrefix) && geometry && geometry->viewable) found = children[i];
    }
    if (children != nullptr) XFree(children);
  }
  return found;
}

}  // namespace

LauncherWindow::LauncherWindow(testing::XClient& x, const std::string& display, const std::vector<std::string>& argv,
                               const ChildEnv& env, std::chrono::milliseconds timeout)
    : x_(x), child_([&] {
        ChildEnv full = env;
        full.emplace_back("DISPLAY", display);
        return Child::start(argv, full);
      }()) {
  const auto end = Clock::now() + timeout;
  while (Clock::now() < end) {
    if (auto found = find_launcher(x_)) {
      window_ = *found;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

double LauncherWindow::scale() {
  const auto g = x_.geometry(window_);
  return g ? static_cast<double>(g->width) / kBaseWidth : 0.0;
}

std::string LauncherWindow::title() {
  if (window_ == 0) return {};
  return x_.text_property(window_, "_NET_WM_NAME").value_or("");
}

std::string LauncherWindow::wait_title(const std::function<bool(std::string_view)>& accept,
                                       std::chrono::milliseconds timeout) {
  const auto end = Clock::now() + timeout;
  std::string last = title();
  while (!accept(last) && Clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    last = title();
  }
  return last;
}

bool LauncherWindow::gone() { return window_ == 0 || !x_.geometry(window_).has_value(); }

bool LauncherWindow::wait_gone(std::chrono::milliseconds timeout) {
  const auto end = Clock::now() + timeout;
  while (!gone()) {
    if (Clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

void LauncherWindow::hover(std::int32_t x, std::int32_t y) {
  const auto g = x_.geometry(window_);
  if (!g) return;
  const double s = static_cast<double>(g->width) / kBaseWidth;
  x_.pointer_to(g->x + static_cast<int>(std::lround(x * s)), g->y + static_cast<int>(std::lround(y * s)));
}

void LauncherWindow::click(std::int32_t x, std::int32_t y) {
  hover(x, y);
  // The window reads the release position from the event; give the motion
  // a moment so hover and press land on the same target.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  x_.click(1);
}

void LauncherWindow::key(unsigned long keysym) {
  // No window manager runs: the focus follows what the window took when it
  // was shown, so give it back explicitly before typing.
  XSetInputFocus(x_.display(), window_, RevertToParent, CurrentTime);
  x_.sync();
  x_.key(keysym);
}

void LauncherWindow::request_close() { x_.request_close(window_); }

LauncherWindow::Frame LauncherWindow::frame() {
  Frame out;
  const auto g = x_.geometry(window_);
  if (!g) return out;
  out.width = g->width;
  out.height = g->height;
  out.bgra = x_.pixels(window_, g->width, g->height);
  return out;
}

}  // namespace qv::test
