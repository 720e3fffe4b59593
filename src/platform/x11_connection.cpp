#include "platform/x11_connection.hpp"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <utility>

namespace qv::platform::x11 {
namespace {

// Texts and titles are a few hundred bytes; a window manager that publishes
// more than this in _NET_SUPPORTED is not honoured beyond it.
constexpr std::size_t kMaxSupportedAtoms = 4096;

std::mutex g_registry_mutex;
std::vector<Connection*> g_connections;
XErrorHandler g_previous_error_handler = nullptr;
XIOErrorHandler g_previous_io_handler = nullptr;

Connection* registered(Display* display) {
  for (Connection* c : g_connections) {
    if (c->display() == display) return c;
  }
  return nullptr;
}

int on_io_error(Display* display) {
  {
    std::lock_guard lock(g_registry_mutex);
    // Ours: returning lets the connection's exit handler mark it lost
    // instead of ending the process.
    if (registered(display) != nullptr) return 0;
  }
  return g_previous_io_handler != nullptr ? g_previous_io_handler(display) : 0;
}

}  // namespace

int on_protocol_error(Display* display, XErrorEvent* event) {
  {
    std::lock_guard lock(g_registry_mutex);
    if (Connection* c = registered(display)) {
      // Outside a trap an error means a request raced with something the
      // server did meanwhile (a window destroyed by another client); the
      // launcher carries on rather than ending.
      if (c->trapping_ && c->first_error_ == 0) c->first_error_ = event->error_code;
      return 0;
    }
  }
  return g_previous_error_handler != nullptr ? g_previous_error_handler(display, event) : 0;
}

void on_connection_lost(Display*, void* connection) { static_cast<Connection*>(connection)->lost_ = true; }

std::unique_ptr<Connection> Connection::open() {
  static std::once_flag once;
  std::call_once(once, [] {
    g_previous_error_handler = XSetErrorHandler(on_protocol_error);
    g_previous_io_handler = XSetIOErrorHandler(on_io_error);
  });
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return nullptr;
  return std::unique_ptr<Connection>(new Connection(display));
}

Connection::Connection(Display* display) : display_(display) {
  // The game and the updater are started while this connection is open;
  // they must not inherit it.
  const int flags = ::fcntl(fd(), F_GETFD);
  if (flags >= 0) ::fcntl(fd(), F_SETFD, flags | FD_CLOEXEC);
  XSetIOErrorExitHandler(display_, on_connection_lost, this);
  std::lock_guard lock(g_registry_mutex);
  g_connections.push_back(this);
}

Connection::~Connection() {
  XCloseDisplay(display_);
  std::lock_guard lock(g_registry_mutex);
  std::erase(g_connections, this);
}

Atom Connection::atom(const char* name) {
  auto [it, inserted] = atoms_.try_emplace(name, None);
  if (inserted) it->second = XInternAtom(display_, name, False);
  return it->second;
}

bool Connection::wait_readable(std::chrono::milliseconds timeout) {
  if (lost_) return true;
  pollfd p{fd(), POLLIN, 0};
  const int ms = timeout.count() < 0 ? -1 : static_cast<int>(std::min<long long>(timeout.count(), INT_MAX));
  for (;;) {
    const int rc = ::poll(&p, 1, ms);
    if (rc >= 0) return rc > 0;
    if (errno != EINTR) return true;  // let the next read find out what is wrong
  }
}

bool Connection::event_waiting() {
  if (lost_) return false;
  return XEventsQueued(display_, QueuedAfterFlush) > 0 && !lost_;
}

void Connection::own_events() {
  XSetEventQueueOwner(display_, XCBOwnsEventQueue);
  xcb_ = XGetXCBConnection(display_);
}

void Connection::check_connection() {
  if (xcb_ != nullptr && xcb_connection_has_error(xcb_) != 0) lost_ = true;
}

void Connection::keep(Event event) {
  if (event->response_type != 0) {
    read_.push_back(std::move(event));
    return;
  }
  // Outside a trap an error means a request raced with something the server
  // did meanwhile (a window destroyed by another client); it is passed over.
  if (trapping_ && first_error_ == 0) first_error_ = reinterpret_cast<xcb_generic_error_t*>(event.get())->error_code;
}

void Connection::collect_errors() {
  if (xcb_ == nullptr) return;
  while (xcb_generic_event_t* event = xcb_poll_for_queued_event(xcb_)) keep(Event(event));
  check_connection();
}

Event Connection::next_event() {
  if (xcb_ == nullptr || lost_) return nullptr;
  XFlush(display_);
  while (read_.empty()) {
    // One read of the socket at most: a flood never keeps the caller here.
    xcb_generic_event_t* event = xcb_poll_for_event(xcb_);
    if (event == nullptr) break;
    keep(Event(event));
  }
  check_connection();
  if (read_.empty()) return nullptr;
  Event out = std::move(read_.front());
  read_.pop_front();
  return out;
}

const xcb_generic_event_t* Connection::peek_read_event() {
  if (xcb_ == nullptr) return nullptr;
  while (read_.empty()) {
    xcb_generic_event_t* event = xcb_poll_for_queued_event(xcb_);
    if (event == nullptr) return nullptr;
    keep(Event(event));
  }
  return read_.front().get();
}

bool Connection::has_read_event() { return peek_read_event() != nullptr; }

std::optional<std::string> Connection::text_property(::Window window, Atom property, std::size_t max_bytes) {
  Atom type = None;
  int format = 0;
  unsigned long items = 0;
  unsigned long after = 0;
  unsigned char* data = nullptr;
  const long longs = static_cast<long>((max_bytes + 3) / 4);
  if (XGetWindowProperty(display_, window, property, 0, longs, False, AnyPropertyType, &type, &format, &items, &after,
                         &data) != Success) {
    return std::nullopt;
  }
  std::optional<std::string> out;
  if (type != None && format == 8) {
    out.emplace(reinterpret_cast<const char*>(data), std::min<std::size_t>(items, max_bytes));
  }
  if (data != nullptr) XFree(data);
  return out;
}

std::vector<long> Connection::long_property(::Window window, Atom property, Atom type, std::size_t max_items) {
  Atom actual = None;
  int format = 0;
  unsigned long items = 0;
  unsigned long after = 0;
  unsigned char* data = nullptr;
  std::vector<long> out;
  if (XGetWindowProperty(display_, window, property, 0, static_cast<long>(max_items), False, type, &actual, &format,
                         &items, &after, &data) != Success) {
    return out;
  }
  if (actual == type && format == 32) {
    // Format-32 data arrives as an array of long, whatever the wire size.
    const long* values = reinterpret_cast<const long*>(data);
    out.assign(values, values + items);
  }
  if (data != nullptr) XFree(data);
  return out;
}

std::optional<::Window> Connection::window_manager() {
  const Atom check = atom("_NET_SUPPORTING_WM_CHECK");
  auto on_root = long_property(root(), check, XA_WINDOW, 1);
  if (on_root.empty()) return std::nullopt;
  const auto candidate = static_cast<::Window>(on_root[0]);
  // A stale property from a window manager that has gone names a window
  // that no longer exists or no longer points at itself.
  std::vector<long> on_child;
  if (errors_of([&] { on_child = long_property(candidate, check, XA_WINDOW, 1); }) != 0) return std::nullopt;
  if (on_child.empty() || static_cast<::Window>(on_child[0]) != candidate) return std::nullopt;
  return candidate;
}

bool Connection::window_manager_supports(const char* name) {
  if (!window_manager()) return false;
  const Atom wanted = atom(name);
  const auto supported = long_property(root(), atom("_NET_SUPPORTED"), XA_ATOM, kMaxSupportedAtoms);
  return std::find(supported.begin(), supported.end(), static_cast<long>(wanted)) != supported.end();
}

void Connection::set_client_properties(::Window window, const std::string& class_name) {
  Atom protocols[] = {atom("WM_DELETE_WINDOW"), atom("_NET_WM_PING")};
  XSetWMProtocols(display_, window, protocols, 2);
  const long pid = ::getpid();
  XChangeProperty(display_, window, atom("_NET_WM_PID"), XA_CARDINAL, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(&pid), 1);
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) == 0) {
    XChangeProperty(display_, window, XA_WM_CLIENT_MACHINE, XA_STRING, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(host), static_cast<int>(std::strlen(host)));
  }
  std::string name = class_name;
  std::string klass = class_name;
  XClassHint hint{name.data(), klass.data()};
  XSetClassHint(display_, window, &hint);
  XWMHints wm_hints{};
  wm_hints.flags = InputHint | StateHint;
  wm_hints.input = True;
  wm_hints.initial_state = NormalState;
  XSetWMHints(display_, window, &wm_hints);
}

void Connection::set_fixed_size(::Window window, int width, int height, bool position) {
  XSizeHints hints{};
  hints.flags = PMinSize | PMaxSize | (position ? (USPosition | PPosition) : 0);
  hints.min_width = hints.max_width = width;
  hints.min_height = hints.max_height = height;
  XSetWMNormalHints(display_, window, &hints);
}

bool Connection::answer_ping(const Message& message) {
  if (message.type != atom("WM_PROTOCOLS") || message.format != 32 ||
      static_cast<Atom>(message.data[0]) != atom("_NET_WM_PING")) {
    return false;
  }
  // The reply is the same message, sent to the root window.
  XEvent reply{};
  reply.xclient.type = ClientMessage;
  reply.xclient.window = root();
  reply.xclient.message_type = message.type;
  reply.xclient.format = 32;
  for (int i = 0; i < 5; ++i) reply.xclient.data.l[i] = message.data[i];
  XSendEvent(display_, root(), False, SubstructureNotifyMask | SubstructureRedirectMask, &reply);
  XFlush(display_);
  return true;
}

bool Connection::is_close_request(const Message& message) {
  return message.type == atom("WM_PROTOCOLS") && message.format == 32 &&
         static_cast<Atom>(message.data[0]) == atom("WM_DELETE_WINDOW");
}

void Connection::focus_if_unmanaged(::Window window) {
  if (window_manager()) return;
  errors_of([&] { XSetInputFocus(display_, window, RevertToParent, CurrentTime); });
}

namespace {

// The scalar value of the sequence at `text[i]` and its length in bytes; a
// length of 0 when no well-formed sequence starts there (overlong forms and
// surrogates included).
std::pair<char32_t, std::size_t> scalar_at(std::string_view text, std::size_t i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  if (lead < 0x80) return {lead, 1};
  std::size_t length = 0;
  char32_t cp = 0;
  char32_t smallest = 0;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, cp = lead & 0x1F, smallest = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, cp = lead & 0x0F, smallest = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, cp = lead & 0x07, smallest = 0x10000;
  } else {
    return {0, 0};
  }
  if (text.size() - i < length) return {0, 0};
  for (std::size_t j = 1; j < length; ++j) {
    const auto next = static_cast<unsigned char>(text[i + j]);
    if ((next & 0xC0) != 0x80) return {0, 0};
    cp = (cp << 6) | (next & 0x3F);
  }
  if (cp < smallest || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return {0, 0};
  return {cp, length};
}

}  // namespace

// An ill-formed sequence loses its first byte to U+FFFD; what follows is read
// afresh.
std::u32string decode_utf8(std::string_view text) {
  std::u32string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto [cp, length] = scalar_at(text, i);
    out.push_back(length == 0 ? U'\uFFFD' : cp);
    i += length == 0 ? 1 : length;
  }
  return out;
}

std::string valid_utf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = scalar_at(text, i).second;
    out.append(length == 0 ? std::string_view("\xEF\xBF\xBD") : text.substr(i, length));
    i += length == 0 ? 1 : length;
  }
  return out;
}

}  // namespace qv::platform::x11
