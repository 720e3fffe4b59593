// Opening a link in the user's browser (or whatever the desktop opens it with).
#pragma once

#include <string_view>

#include "platform/error.hpp"

namespace qv::platform {

// Starts `xdg-open` from PATH with `link` as its one argument, in the root
// folder, and returns without waiting for it: whether the desktop then finds
// a program for the link is not known here. Fails when the link is empty,
// begins with "-" (it would be read as an option), or holds a control
// character; when no xdg-open is found in an absolute folder of PATH (a
// relative entry would run whatever the current folder holds); or with the
// operating-system error when it cannot be started. Any thread.
Status open_link(std::string_view link);

}  // namespace qv::platform
