// The names a window manager and a task bar show for a window: _NET_WM_NAME,
// which every current desktop reads, and WM_NAME for the ones that read
// nothing newer. Internal to src/platform.
#pragma once

#include <string>
#include <string_view>

#include "platform/x11_connection.hpp"

namespace qv::platform::x11 {

// How WM_NAME carries a title.
struct LegacyName {
  // True: `bytes` are Latin-1 of type STRING, which every reader of WM_NAME
  // understands. False: `bytes` are UTF-8 of type UTF8_STRING, so that no
  // character is lost (a COMPOUND_TEXT made in this process's locale would
  // drop every character that locale cannot name, Thai and dashes among them).
  bool latin1 = true;
  std::string bytes;
  bool operator==(const LegacyName&) const = default;
};

// WM_NAME for the UTF-8 title `utf8` (ill-formed sequences become U+FFFD).
LegacyName legacy_name(std::string_view utf8);

// Names `window`: _NET_WM_NAME in UTF-8 (ill-formed sequences replaced) and
// WM_NAME as `legacy_name` gives it. Queues the requests; the caller flushes.
void set_window_title(Connection& connection, ::Window window, std::string_view utf8);

}  // namespace qv::platform::x11
