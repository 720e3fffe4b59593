#include "platform/compositor_watch.hpp"

#include <X11/extensions/Xfixes.h>

#include <string>

namespace qv::platform::x11 {

CompositorWatch::CompositorWatch(Connection& connection) {
  Display* display = connection.display();
  const std::string name = "_NET_WM_CM_S" + std::to_string(connection.screen());
  selection_ = connection.atom(name.c_str());
  int event_base = 0;
  int error_base = 0;
  int major = 0;
  int minor = 0;
  // The version must be asked before any other request of the extension.
  if (XFixesQueryExtension(display, &event_base, &error_base) && XFixesQueryVersion(display, &major, &minor)) {
    event_base_ = event_base;
    XFixesSelectSelectionInput(display, connection.root(), selection_,
                               XFixesSetSelectionOwnerNotifyMask | XFixesSelectionWindowDestroyNotifyMask |
                                   XFixesSelectionClientCloseNotifyMask);
  }
  // Asked after the selection is watched, so no change falls between the two.
  running_ = read_owner(connection);
}

bool CompositorWatch::read_owner(Connection& connection) const {
  return XGetSelectionOwner(connection.display(), selection_) != None;
}

bool CompositorWatch::handle(Connection& connection, const xcb_generic_event_t& event) {
  if (event_base_ < 0 || (event.response_type & 0x7F) != event_base_ + XFixesSelectionNotify) return false;
  // One selection is watched; whatever the notice says, the owner now decides.
  const bool now = read_owner(connection);
  if (now == running_) return false;
  running_ = now;
  return true;
}

}  // namespace qv::platform::x11
