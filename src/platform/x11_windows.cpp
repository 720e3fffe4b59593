#include "platform/x11_windows.hpp"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <functional>
#include <mutex>

namespace qv::platform {
namespace {

// Titles longer than this many bytes are cut; a cut title never equals a
// short one, which is all the launcher compares titles with.
constexpr long kMaxTitleLongs = 512;
constexpr long kMaxClientListLongs = 1 << 16;

thread_local Display* t_quiet_display = nullptr;
XErrorHandler g_previous_handler = nullptr;

int quiet_error_handler(Display* display, XErrorEvent* event) {
  if (display == t_quiet_display) return 0;
  return g_previous_handler != nullptr ? g_previous_handler(display, event) : 0;
}

// One connection, its atoms, and the error handler's knowledge that errors of
// this connection are expected.
class Session {
 public:
  Session() {
    static std::once_flag once;
    std::call_once(once, [] { g_previous_handler = XSetErrorHandler(quiet_error_handler); });
    display_ = XOpenDisplay(nullptr);
    if (display_ == nullptr) return;
    t_quiet_display = display_;
    client_list_ = XInternAtom(display_, "_NET_CLIENT_LIST", True);
    net_wm_name_ = XInternAtom(display_, "_NET_WM_NAME", True);
    net_wm_pid_ = XInternAtom(display_, "_NET_WM_PID", True);
    utf8_string_ = XInternAtom(display_, "UTF8_STRING", True);
    wm_protocols_ = XInternAtom(display_, "WM_PROTOCOLS", True);
    wm_delete_window_ = XInternAtom(display_, "WM_DELETE_WINDOW", True);
  }
  ~Session() {
    if (display_ == nullptr) return;
    XCloseDisplay(display_);
    t_quiet_display = nullptr;
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  explicit operator bool() const { return display_ != nullptr; }

  void for_each_top_level(const std::function<void(Window)>& visit) {
    for (int screen = 0; screen < ScreenCount(display_); ++screen) {
      Window root = RootWindow(display_, screen);
      if (for_each_listed_client(root, visit)) continue;
      Window root_return = 0;
      Window parent = 0;
      Window* children = nullptr;
      unsigned int count = 0;
      if (XQueryTree(display_, root, &root_return, &parent, &children, &count) == 0) continue;
      for (unsigned int i = 0; i < count; ++i) visit(children[i]);
      if (children != nullptr) XFree(children);
    }
  }

  TopLevelWindow describe(Window window) {
    TopLevelWindow out;
    out.id = window;
    out.pid = declared_pid(window);
    out.title = title(window);
    return out;
  }

  std::optional<std::uint32_t> declared_pid(Window window) {
    if (net_wm_pid_ == None) return std::nullopt;
    std::optional<std::uint32_t> pid;
    read_property(window, net_wm_pid_, 1, [&](Atom type, int format, unsigned char* data, unsigned long items) {
      if (type == XA_CARDINAL && format == 32 && items >= 1) {
        // Format-32 data arrives as an array of long.
        pid = static_cast<std::uint32_t>(reinterpret_cast<unsigned long*>(data)[0]);
      }
    });
    return pid;
  }

  bool accepts_delete(Window window) {
    if (wm_delete_window_ == None) return false;
    Atom* protocols = nullptr;
    int count = 0;
    if (XGetWMProtocols(display_, window, &protocols, &count) == 0) return false;
    bool found = false;
    for (int i = 0; i < count; ++i) found = found || protocols[i] == wm_delete_window_;
    if (protocols != nullptr) XFree(protocols);
    return found;
  }

  void send_delete(Window window) {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = wm_protocols_;
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(wm_delete_window_);
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display_, window, False, NoEventMask, &event);
  }

  void sync() { XSync(display_, False); }

 private:
  template <class F>
  void read_property(Window window, Atom property, long max_longs, F&& use) {
    Atom type = None;
    int format = 0;
    unsigned long items = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    int rc = XGetWindowProperty(display_, window, property, 0, max_longs, False, AnyPropertyType, &type, &format,
                                &items, &after, &data);
    if (rc == Success && data != nullptr) use(type, format, data, items);
    if (data != nullptr) XFree(data);
  }

  bool for_each_listed_client(Window root, const std::function<void(Window)>& visit) {
    if (client_list_ == None) return false;
    bool listed = false;
    read_property(root, client_list_, kMaxClientListLongs,
                  [&](Atom type, int format, unsigned char* data, unsigned long items) {
                    if (type != XA_WINDOW || format != 32) return;
                    listed = true;
                    auto* windows = reinterpret_cast<unsigned long*>(data);
                    for (unsigned long i = 0; i < items; ++i) visit(static_cast<Window>(windows[i]));
                  });
    return listed;
  }

  std::string title(Window window) {
    std::string text;
    bool found = false;
    if (net_wm_name_ != None) {
      read_property(window, net_wm_name_, kMaxTitleLongs,
                    [&](Atom type, int format, unsigned char* data, unsigned long items) {
                      if (format != 8 || type != utf8_string_) return;
                      text.assign(reinterpret_cast<const char*>(data), items);
                      found = true;
                    });
    }
    if (found) return text;
    read_property(window, XA_WM_NAME, kMaxTitleLongs,
                  [&](Atom type, int format, unsigned char* data, unsigned long items) {
                    if (format != 8) return;
                    if (type != XA_STRING) {
                      text.assign(reinterpret_cast<const char*>(data), items);
                      return;
                    }
                    for (unsigned long i = 0; i < items; ++i) {
                      unsigned char c = data[i];
                      if (c < 0x80) {
                        text += static_cast<char>(c);
                      } else {
                        text += static_cast<char>(0xC0 | (c >> 6));
                        text += static_cast<char>(0x80 | (c & 0x3F));
                      }
                    }
                  });
    return text;
  }

  Display* display_ = nullptr;
  Atom client_list_ = None;
  Atom net_wm_name_ = None;
  Atom net_wm_pid_ = None;
  Atom utf8_string_ = None;
  Atom wm_protocols_ = None;
  Atom wm_delete_window_ = None;
};

}  // namespace

std::vector<TopLevelWindow> list_top_level_windows() {
  std::vector<TopLevelWindow> windows;
  Session session;
  if (!session) return windows;
  session.for_each_top_level([&](Window window) { windows.push_back(session.describe(window)); });
  return windows;
}

std::size_t request_close_of_process_windows(std::uint32_t pid) {
  Session session;
  if (!session) return 0;
  std::size_t asked = 0;
  session.for_each_top_level([&](Window window) {
    if (session.declared_pid(window) != pid || !session.accepts_delete(window)) return;
    session.send_delete(window);
    ++asked;
  });
  session.sync();
  return asked;
}

}  // namespace qv::platform
