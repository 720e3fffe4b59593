// Whether a compositing manager runs on the screen, followed while the window
// lives: a compositing manager owns the selection _NET_WM_CM_S{screen} for as
// long as it runs, and the XFixes extension tells of every change of that
// selection's owner (a new owner, or the owner's window or connection gone).
// Internal to src/platform.
#pragma once

#include <xcb/xcb.h>

#include "platform/x11_connection.hpp"

namespace qv::platform::x11 {

class CompositorWatch {
 public:
  // Reads the selection's owner now and asks for notice of its changes.
  // Without XFixes the first answer is never revised.
  explicit CompositorWatch(Connection& connection);

  // True while the selection has an owner.
  bool running() const { return running_; }

  // Call with every event the connection reads. True when `event` was a
  // notice about the selection and `running()` changed with it.
  bool handle(Connection& connection, const xcb_generic_event_t& event);

 private:
  bool read_owner(Connection& connection) const;

  Atom selection_ = None;
  int event_base_ = -1;  // -1: the server has no XFixes
  bool running_ = false;
};

}  // namespace qv::platform::x11
