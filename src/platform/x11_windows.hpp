// The top-level windows of an X display, and asking a window to close.
//
// A window's owner is the process behind the X connection that created it, as
// the X server itself knows it (the X-Resource extension's client ids), never
// what a window's properties claim: any client may write any _NET_WM_PID. The
// server records that process when the connection is made; the process may
// have exited since, leaving the connection to a child, and its id may have
// been reused by an unrelated program. So a process counts as the owner only
// while it still holds as many of the server's connections as the server
// attributes to it (its descriptors are compared with the server's end of
// every connection), which a newcomer under a reused id never does.
//
// Each call holds its own connection for the length of the call, on a thread
// of its own, and gives the whole conversation (connecting included) a
// deadline: an X server that drops the connection, never answers, or is held
// by another client's grab ends the call with an error at the latest at the
// deadline, never the process. Any thread, beside the launcher's own window.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.hpp"

namespace qv::platform {

// How long one conversation with the X server may take.
inline constexpr std::chrono::milliseconds kWindowScanDeadline{3000};

// A display and the file of the cookie that lets a client in, as an X client
// finds them in its environment: DISPLAY, and XAUTHORITY or else
// $HOME/.Xauthority (see x11_authority.hpp for how the file is read).
struct XDisplay {
  std::string name;
  std::filesystem::path authority;  // empty: no cookie is shown

  bool operator==(const XDisplay&) const = default;
};

// The environment variables that name a display and its cookie.
inline constexpr std::string_view kDisplayVariables[] = {"DISPLAY", "XAUTHORITY", "HOME"};

// The display named by `variables` (read from a process's environment).
XDisplay display_from_environment(const std::map<std::string, std::string, std::less<>>& variables);

// The display this process names in its own environment, read afresh.
XDisplay own_display();

struct TopLevelWindow {
  std::uint64_t id = 0;
  // The process that created the window and still holds its connection, as
  // the X server knows it; none for a remote client, a server without the
  // X-Resource extension, or a process that may have let the connection go.
  std::optional<std::uint32_t> owner_pid;
  // The title as UTF-8: _NET_WM_NAME, else WM_NAME (Latin-1 converted).
  std::string title;
};

// The top-level windows of every screen of this process's own display: the
// window manager's client list (_NET_CLIENT_LIST) where one names a live
// window, else the children of the root window. Fails when no display is
// named or reachable, when the connection fails, or at the deadline; the
// error says which.
Result<std::vector<TopLevelWindow>> list_top_level_windows(std::chrono::milliseconds deadline = kWindowScanDeadline);

// Sends a WM_DELETE_WINDOW request to every top-level window of `display`
// whose owner is `pid` and that accepts that request, and waits until the
// server has passed them on. Returns the number of windows asked, or fails as
// list_top_level_windows does (some requests may have gone out by then).
Result<std::size_t> request_close_of_process_windows(std::uint32_t pid, const XDisplay& display,
                                                     std::chrono::milliseconds deadline = kWindowScanDeadline);

}  // namespace qv::platform
