#include "support/window_manager.hpp"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <thread>

#include "support/x_client.hpp"

namespace qv::testing {
namespace {

using Clock = std::chrono::steady_clock;

// _NET_WM_MOVERESIZE's direction for a move.
constexpr long kMoveDirection = 8;

}  // namespace

StandInWindowManager::StandInWindowManager(const std::string& display) : x_(std::make_unique<XClient>(display)) {
  Display* d = x_->display();
  if (d == nullptr) return;
  if (::pipe2(stop_, O_CLOEXEC) != 0) return;
  const Window root = DefaultRootWindow(d);
  XSelectInput(d, root, SubstructureRedirectMask | SubstructureNotifyMask);

  check_window_ = XCreateSimpleWindow(d, root, -10, -10, 1, 1, 0, 0, 0);
  const long check = static_cast<long>(check_window_);
  const Atom check_atom = XInternAtom(d, "_NET_SUPPORTING_WM_CHECK", False);
  XChangeProperty(d, check_window_, check_atom, XA_WINDOW, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(&check), 1);
  XChangeProperty(d, root, check_atom, XA_WINDOW, 32, PropModeReplace, reinterpret_cast<const unsigned char*>(&check),
                  1);
  const long supported[] = {static_cast<long>(XInternAtom(d, "_NET_WM_MOVERESIZE", False)),
                            static_cast<long>(check_atom)};
  XChangeProperty(d, root, XInternAtom(d, "_NET_SUPPORTED", False), XA_ATOM, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(supported), 2);
  XSync(d, False);
  thread_ = std::thread([this] { run(); });
}

StandInWindowManager::~StandInWindowManager() {
  if (thread_.joinable()) {
    const char stop = 's';
    (void)::write(stop_[1], &stop, 1);
    thread_.join();
  }
  if (Display* d = x_->display()) {
    const Window root = DefaultRootWindow(d);
    XDeleteProperty(d, root, XInternAtom(d, "_NET_SUPPORTING_WM_CHECK", False));
    XDeleteProperty(d, root, XInternAtom(d, "_NET_SUPPORTED", False));
    if (check_window_ != 0) XDestroyWindow(d, check_window_);
    XSync(d, False);
  }
  for (int fd : stop_) {
    if (fd >= 0) ::close(fd);
  }
}

StandInWindowManager::Record StandInWindowManager::record() const {
  std::lock_guard lock(mutex_);
  return record_;
}

bool StandInWindowManager::wait_for(const std::function<bool(const Record&)>& done,
                                    std::chrono::milliseconds timeout) const {
  const auto end = Clock::now() + timeout;
  while (!done(record())) {
    if (Clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

void StandInWindowManager::run() {
  Display* d = x_->display();
  for (;;) {
    while (XPending(d) > 0) {
      XEvent event;
      XNextEvent(d, &event);
      handle(&event);
    }
    XFlush(d);
    pollfd fds[2] = {{ConnectionNumber(d), POLLIN, 0}, {stop_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents != 0) return;
  }
}

void StandInWindowManager::begin_move(unsigned long window, long anchor_x, long anchor_y) {
  Display* d = x_->display();
  const Window root = DefaultRootWindow(d);
  {
    std::lock_guard lock(mutex_);
    ++record_.move_requests;
  }
  int x = 0;
  int y = 0;
  Window child = 0;
  if (!XTranslateCoordinates(d, window, root, 0, 0, &x, &y, &child)) return;
  const int grabbed = XGrabPointer(d, root, False, ButtonReleaseMask | PointerMotionMask, GrabModeAsync,
                                   GrabModeAsync, None, None, CurrentTime);
  if (grabbed != GrabSuccess) return;
  // The keyboard too, as a move that Escape could end has it.
  XGrabKeyboard(d, root, False, GrabModeAsync, GrabModeAsync, CurrentTime);
  move_ = Move{true, window, x, y, anchor_x, anchor_y};
  std::lock_guard lock(mutex_);
  ++record_.moves_started;
}

void StandInWindowManager::handle(void* raw) {
  Display* d = x_->display();
  XEvent& event = *static_cast<XEvent*>(raw);
  switch (event.type) {
    case MapRequest:
      XMapWindow(d, event.xmaprequest.window);
      return;
    case MapNotify:
      if (!event.xmap.override_redirect && event.xmap.window != check_window_) {
        XSetInputFocus(d, event.xmap.window, RevertToPointerRoot, CurrentTime);
      }
      return;
    case ConfigureRequest: {
      const XConfigureRequestEvent& request = event.xconfigurerequest;
      XWindowChanges changes{};
      changes.x = request.x;
      changes.y = request.y;
      changes.width = request.width;
      changes.height = request.height;
      changes.border_width = request.border_width;
      changes.sibling = request.above;
      changes.stack_mode = request.detail;
      XConfigureWindow(d, request.window, static_cast<unsigned>(request.value_mask), &changes);
      return;
    }
    case ClientMessage: {
      const XClientMessageEvent& message = event.xclient;
      if (message.message_type == XInternAtom(d, "_NET_WM_MOVERESIZE", False) && message.format == 32 &&
          message.data.l[2] == kMoveDirection && !move_.active) {
        begin_move(message.window, message.data.l[0], message.data.l[1]);
      } else if (message.message_type == XInternAtom(d, "WM_CHANGE_STATE", False) && message.format == 32 &&
                 message.data.l[0] == IconicState) {
        XUnmapWindow(d, message.window);
        XSync(d, False);
        std::lock_guard lock(mutex_);
        record_.iconified.push_back(message.window);
      }
      return;
    }
    case MotionNotify: {
      if (!move_.active) return;
      XEvent latest = event;
      while (XCheckTypedEvent(d, MotionNotify, &latest)) {
      }
      XMoveWindow(d, move_.window, move_.window_x + static_cast<int>(latest.xmotion.x_root - move_.anchor_x),
                  move_.window_y + static_cast<int>(latest.xmotion.y_root - move_.anchor_y));
      return;
    }
    case ButtonRelease: {
      if (!move_.active) return;
      XUngrabPointer(d, CurrentTime);
      XUngrabKeyboard(d, CurrentTime);
      move_.active = false;
      // Recorded once the server has the move's last step: whoever reads the
      // record finds the window where the move left it.
      XSync(d, False);
      std::lock_guard lock(mutex_);
      ++record_.releases_taken;
      return;
    }
    default:
      return;
  }
}

}  // namespace qv::testing
