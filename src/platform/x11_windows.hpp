// The top-level windows of the X display named by DISPLAY, and asking a
// window to close. Each call opens its own connection and closes it before
// returning, so it may run on any thread, beside the launcher's own window.
//
// X errors on these connections (a window destroyed while it is being read,
// the usual race) are swallowed; errors of other connections still reach the
// handler that was installed before the first call here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qv::platform {

struct TopLevelWindow {
  std::uint64_t id = 0;
  // The process the window's client declares (_NET_WM_PID), if any.
  std::optional<std::uint32_t> pid;
  // The title as UTF-8: _NET_WM_NAME, else WM_NAME (Latin-1 converted).
  std::string title;
};

// The top-level windows of every screen: the window manager's client list
// (_NET_CLIENT_LIST) where one is kept, else the children of the root window.
// Empty when no display can be reached.
std::vector<TopLevelWindow> list_top_level_windows();

// Sends a WM_DELETE_WINDOW request to every top-level window that declares
// `pid` as its process and accepts that request. Returns the number of
// windows asked; 0 when there are none or no display can be reached.
std::size_t request_close_of_process_windows(std::uint32_t pid);

}  // namespace qv::platform
