// A real Launcher.exe seen from outside, as a player meets it: started as a
// child process on a private X server, its window found by its title, its
// state read from the title and the pixels, and driven through XTEST with
// the pointer and the keyboard in base pixels of the design space.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/child_process.hpp"
#include "support/x_client.hpp"

namespace qv::test {

// Every title the launcher's window carries begins with this.
inline constexpr std::string_view kLauncherTitlePrefix = "QV Velmorane";

class LauncherWindow {
 public:
  // Starts `argv` with `env` (DISPLAY is the client's display) and waits up
  // to `timeout` for its window to be viewable; `window()` is 0 when none
  // came. `x` must outlive this object.
  LauncherWindow(testing::XClient& x, const std::string& display, const std::vector<std::string>& argv,
                 const ChildEnv& env, std::chrono::milliseconds timeout = std::chrono::seconds(20));

  std::uint64_t window() const { return window_; }
  pid_t pid() const { return child_.pid(); }
  // Window pixels per base pixel, from the window's width.
  double scale();
  // The window's _NET_WM_NAME now; empty once the window is gone.
  std::string title();
  // Waits until the title satisfies `accept`; returns the last title read
  // (which does not satisfy it after `timeout`).
  std::string wait_title(const std::function<bool(std::string_view)>& accept,
                         std::chrono::milliseconds timeout = std::chrono::seconds(30));
  // True once the window is no longer on the server.
  bool gone();
  bool wait_gone(std::chrono::milliseconds timeout = std::chrono::seconds(20));

  // Moves the pointer over the base point (x, y) of the window.
  void hover(std::int32_t x, std::int32_t y);
  // Clicks the left button there.
  void click(std::int32_t x, std::int32_t y);
  // Presses and releases a key while the window has the keyboard focus.
  void key(unsigned long keysym);
  // Asks the window to close, as a window manager's close button does.
  void request_close();

  // The window's pixels (premultiplied BGRA, rows top-down) and their size.
  struct Frame {
    std::vector<std::uint8_t> bgra;
    int width = 0;
    int height = 0;
  };
  Frame frame();

  // Waits for the launcher to end.
  ChildExit wait() { return child_.wait(); }

 private:
  testing::XClient& x_;
  Child child_;
  std::uint64_t window_ = 0;
};

}  // namespace qv::test
