// One connection to the X server for the launcher's own windows (the main
// window and the message box), and the small helpers both need. Internal to
// src/platform: nothing above it sees an Xlib type.
//
// Xlib ends the process on a protocol error or a lost server unless told
// otherwise, and its handlers are process-wide. Connections made here are
// registered with handlers that record a protocol error instead (so a failed
// shared-memory attach or a refused pixmap becomes an error value) and that
// let a lost server end only the connection; the connections of other modules
// keep whatever handler was installed before the first connection here.
//
// The main window's connection reads its events itself, through XCB, one
// read of the socket at a time: Xlib reads until the socket is dry before it
// returns, which a client flooding the window with events never lets happen,
// and the window's timer would wait for as long as the flood lasts.
//
// A connection is used by one thread at a time.
#pragma once

#include <X11/Xlib-xcb.h>
#include <X11/Xlib.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/display_info.hpp"

namespace qv::platform::x11 {

// A client message, whoever read it (Xlib or XCB).
struct Message {
  Atom type = None;
  int format = 0;
  long data[5] = {};
};

struct FreeEvent {
  void operator()(xcb_generic_event_t* event) const { std::free(event); }
};
using Event = std::unique_ptr<xcb_generic_event_t, FreeEvent>;

class Connection {
 public:
  // Opens the display named by DISPLAY; nothing when it is unset or cannot be
  // reached. The connection's socket is close-on-exec.
  static std::unique_ptr<Connection> open();
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  Display* display() const { return display_; }
  int screen() const { return DefaultScreen(display_); }
  ::Window root() const { return RootWindow(display_, screen()); }
  int fd() const { return ConnectionNumber(display_); }
  // The server went away or the connection broke; every later call on the
  // display returns at once and does nothing.
  bool lost() const { return lost_; }

  // The atom of `name`, created when missing; cached.
  Atom atom(const char* name);

  // Sends what `requests` queued and waits until the server has handled it.
  // Returns the code of the first X error those requests caused, 0 when none.
  template <class Requests>
  unsigned char errors_of(Requests&& requests) {
    XSync(display_, False);
    collect_errors();
    trapping_ = true;
    first_error_ = 0;
    requests();
    XSync(display_, False);
    collect_errors();
    trapping_ = false;
    return lost_ ? static_cast<unsigned char>(BadImplementation) : first_error_;
  }

  // Waits until the connection has data to read or `timeout` passes (a
  // negative timeout waits without limit). False on timeout.
  bool wait_readable(std::chrono::milliseconds timeout);

  // Events read by Xlib (the message box): reads what the server has sent
  // and flushes what is queued; true when an event is waiting in Xlib's queue.
  bool event_waiting();

  // Events read here (the main window): call once, before any event is read.
  void own_events();
  // The next event, reading the socket at most once; nothing when none has
  // arrived. Protocol errors are passed over (errors_of counts its own).
  Event next_event();
  // The next event if it has been read already, left in the queue.
  const xcb_generic_event_t* peek_read_event();
  // True when an event has been read and not yet taken.
  bool has_read_event();

  // A format-8 property of `window` as bytes (at most `max_bytes`); nothing
  // when it is missing or of another format.
  std::optional<std::string> text_property(::Window window, Atom property, std::size_t max_bytes);
  // A format-32 property of the given type as values (at most `max_items`);
  // empty when it is missing or of another type or format.
  std::vector<long> long_property(::Window window, Atom property, Atom type, std::size_t max_items);

  // The window of the EWMH window manager, if one runs.
  std::optional<::Window> window_manager();
  // True when the running window manager lists `name` in _NET_SUPPORTED.
  bool window_manager_supports(const char* name);

  // WM_PROTOCOLS with WM_DELETE_WINDOW and _NET_WM_PING, _NET_WM_PID,
  // WM_CLIENT_MACHINE and WM_CLASS (both parts `class_name`).
  void set_client_properties(::Window window, const std::string& class_name);
  // Fixes the window's size for the window manager (minimum = maximum), and
  // asks it to keep the position given (when `position` is set).
  void set_fixed_size(::Window window, int width, int height, bool position);
  // Answers a _NET_WM_PING; true when `message` was one.
  bool answer_ping(const Message& message);
  // True when `message` is a close request (WM_DELETE_WINDOW).
  bool is_close_request(const Message& message);
  // Gives `window` the keyboard focus when no window manager does it (a bare
  // server has none, and keys would go wherever the pointer is).
  void focus_if_unmanaged(::Window window);

 private:
  explicit Connection(Display* display);
  friend int on_protocol_error(Display*, XErrorEvent*);
  friend void on_connection_lost(Display*, void*);
  // Moves what XCB has read into `read_`, noting protocol errors (own
  // events only; Xlib reports its errors to the handler).
  void collect_errors();
  // Keeps `event` unless it is an error, which is noted while trapping.
  void keep(Event event);
  void check_connection();

  Display* display_;
  xcb_connection_t* xcb_ = nullptr;  // set once the connection reads its own events
  bool lost_ = false;
  bool trapping_ = false;
  unsigned char first_error_ = 0;
  std::deque<Event> read_;
  std::unordered_map<std::string, Atom> atoms_;
};

// The display's scale and monitors over an open connection (display_info.cpp).
DisplayInfo read_display_info(Connection& connection);
// Xft.dpi of the root window's RESOURCE_MANAGER, 96 when unset.
double read_dpi(Connection& connection);

// The code points of UTF-8 text; every byte that does not begin a well-formed
// sequence (overlong forms and surrogates included) becomes U+FFFD.
std::u32string decode_utf8(std::string_view text);
// UTF-8 text with every ill-formed sequence replaced by U+FFFD.
std::string valid_utf8(std::string_view text);

}  // namespace qv::platform::x11
