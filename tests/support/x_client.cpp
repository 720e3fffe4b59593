#include "support/x_client.hpp"

#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xrandr.h>
#include <X11/extensions/shape.h>
#include <poll.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <thread>

namespace qv::testing {
namespace {

using Clock = std::chrono::steady_clock;

constexpr long kMaxPropertyLongs = 1 << 22;

// A test that looks at a window another client has just destroyed gets an X
// error; Xlib's default handler would end the test program for it.
std::mutex g_clients_mutex;
std::vector<Display*> g_clients;
XErrorHandler g_previous_handler = nullptr;

int on_error(Display* display, XErrorEvent* event) {
  {
    std::lock_guard lock(g_clients_mutex);
    if (std::find(g_clients.begin(), g_clients.end(), display) != g_clients.end()) return 0;
  }
  return g_previous_handler != nullptr ? g_previous_handler(display, event) : 0;
}

}  // namespace

XClient::XClient(const std::string& display) {
  static std::once_flag once;
  std::call_once(once, [] { g_previous_handler = XSetErrorHandler(on_error); });
  display_ = XOpenDisplay(display.c_str());
  if (display_ == nullptr) {
    ADD_FAILURE() << "cannot connect to " << display;
    return;
  }
  std::lock_guard lock(g_clients_mutex);
  g_clients.push_back(display_);
}

XClient::~XClient() {
  if (display_ == nullptr) return;
  for (unsigned long w : own_windows_) XDestroyWindow(display_, w);
  XCloseDisplay(display_);
  std::lock_guard lock(g_clients_mutex);
  std::erase(g_clients, display_);
}

std::uint64_t XClient::root() const { return DefaultRootWindow(display_); }

void XClient::sync() { XSync(display_, False); }

unsigned long XClient::atom(const char* name) { return XInternAtom(display_, name, False); }

bool XClient::has_argb_visual() {
  XVisualInfo info{};
  return XMatchVisualInfo(display_, DefaultScreen(display_), 32, TrueColor, &info) && info.red_mask == 0xFF0000 &&
         info.green_mask == 0xFF00 && info.blue_mask == 0xFF;
}

std::optional<std::string> XClient::text_property(std::uint64_t window, const char* name) {
  Atom type = None;
  int format = 0;
  unsigned long items = 0;
  unsigned long after = 0;
  unsigned char* data = nullptr;
  if (XGetWindowProperty(display_, window, atom(name), 0, kMaxPropertyLongs, False, AnyPropertyType, &type, &format,
                         &items, &after, &data) != Success) {
    return std::nullopt;
  }
  std::optional<std::string> out;
  if (type != None && format == 8) out.emplace(reinterpret_cast<const char*>(data), items);
  if (data != nullptr) XFree(data);
  return out;
}

std::vector<long> XClient::long_property(std::uint64_t window, const char* name) {
  Atom type = None;
  int format = 0;
  unsigned long items = 0;
  unsigned long after = 0;
  unsigned char* data = nullptr;
  std::vector<long> out;
  if (XGetWindowProperty(display_, window, atom(name), 0, kMaxPropertyLongs, False, AnyPropertyType, &type, &format,
                         &items, &after, &data) != Success) {
    return out;
  }
  if (format == 32) out.assign(reinterpret_cast<const long*>(data), reinterpret_cast<const long*>(data) + items);
  if (data != nullptr) XFree(data);
  return out;
}

std::vector<std::string> XClient::atom_names(std::uint64_t window, const char* name) {
  std::vector<std::string> out;
  for (long value : long_property(window, name)) {
    char* text = XGetAtomName(display_, static_cast<Atom>(value));
    out.emplace_back(text != nullptr ? text : "");
    if (text != nullptr) XFree(text);
  }
  return out;
}

std::optional<std::string> XClient::wm_name(std::uint64_t window) {
  XTextProperty property{};
  if (!XGetWMName(display_, window, &property)) return std::nullopt;
  char** list = nullptr;
  int count = 0;
  std::optional<std::string> out;
  if (Xutf8TextPropertyToTextList(display_, &property, &list, &count) >= 0 && count > 0) out = list[0];
  if (list != nullptr) XFreeStringList(list);
  if (property.value != nullptr) XFree(property.value);
  return out;
}

std::string XClient::property_type(std::uint64_t window, const char* name) {
  Atom type = None;
  int format = 0;
  unsigned long items = 0;
  unsigned long after = 0;
  unsigned char* data = nullptr;
  std::string out;
  if (XGetWindowProperty(display_, window, atom(name), 0, 0, False, AnyPropertyType, &type, &format, &items, &after,
                         &data) == Success &&
      type != None) {
    char* text = XGetAtomName(display_, type);
    if (text != nullptr) {
      out = text;
      XFree(text);
    }
  }
  if (data != nullptr) XFree(data);
  return out;
}

std::string XClient::wm_class(std::uint64_t window) {
  XClassHint hint{};
  if (!XGetClassHint(display_, window, &hint)) return {};
  std::string out = std::string(hint.res_name) + "/" + hint.res_class;
  XFree(hint.res_name);
  XFree(hint.res_class);
  return out;
}

std::array<int, 4> XClient::size_limits(std::uint64_t window) {
  XSizeHints hints{};
  long supplied = 0;
  if (!XGetWMNormalHints(display_, window, &hints, &supplied)) return {};
  return {hints.min_width, hints.min_height, hints.max_width, hints.max_height};
}

std::optional<XGeometry> XClient::geometry(std::uint64_t window) {
  XWindowAttributes attributes{};
  if (!XGetWindowAttributes(display_, window, &attributes)) return std::nullopt;
  XGeometry out;
  Window child = 0;
  XTranslateCoordinates(display_, window, root(), 0, 0, &out.x, &out.y, &child);
  out.width = attributes.width;
  out.height = attributes.height;
  out.depth = attributes.depth;
  out.viewable = attributes.map_state == IsViewable;
  return out;
}

bool XClient::bounding_shaped(std::uint64_t window) {
  Bool bounding = False;
  Bool clip = False;
  int x = 0, y = 0, cx = 0, cy = 0;
  unsigned int w = 0, h = 0, cw = 0, ch = 0;
  if (!XShapeQueryExtents(display_, window, &bounding, &x, &y, &w, &h, &clip, &cx, &cy, &cw, &ch)) return false;
  return bounding != False;
}

std::vector<ShapeRect> XClient::bounding_rectangles(std::uint64_t window) {
  int count = 0;
  int ordering = 0;
  ::XRectangle* rects = XShapeGetRectangles(display_, window, ShapeBounding, &count, &ordering);
  std::vector<ShapeRect> out;
  for (int i = 0; i < count; ++i) out.push_back({rects[i].x, rects[i].y, rects[i].width, rects[i].height});
  if (rects != nullptr) XFree(rects);
  return out;
}

std::vector<bool> XClient::bounding_pixels(std::uint64_t window, int width, int height) {
  std::vector<bool> inside(static_cast<std::size_t>(width) * static_cast<std::size_t>(height), false);
  for (const ShapeRect& r : bounding_rectangles(window)) {
    for (int y = std::max(r.y, 0); y < std::min(r.y + r.height, height); ++y) {
      for (int x = std::max(r.x, 0); x < std::min(r.x + r.width, width); ++x) {
        inside[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)] = true;
      }
    }
  }
  return inside;
}

bool XClient::wait_viewable(std::uint64_t window, int width, int height, std::chrono::milliseconds timeout) {
  const auto end = Clock::now() + timeout;
  do {
    auto g = geometry(window);
    if (g && g->viewable && (width == 0 || (g->width == width && g->height == height))) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  } while (Clock::now() < end);
  return false;
}

std::vector<std::uint8_t> XClient::pixels(std::uint64_t window, int width, int height) {
  std::vector<std::uint8_t> out;
  XImage* image = XGetImage(display_, window, 0, 0, static_cast<unsigned>(width), static_cast<unsigned>(height),
                            AllPlanes, ZPixmap);
  if (image == nullptr) return out;
  EXPECT_EQ(image->bits_per_pixel, 32);
  out.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const unsigned long pixel = XGetPixel(image, x, y);
      std::uint8_t* p = out.data() + (static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + x) * 4;
      p[0] = static_cast<std::uint8_t>(pixel);
      p[1] = static_cast<std::uint8_t>(pixel >> 8);
      p[2] = static_cast<std::uint8_t>(pixel >> 16);
      p[3] = static_cast<std::uint8_t>(pixel >> 24);
    }
  }
  XDestroyImage(image);
  return out;
}

std::optional<std::uint64_t> XClient::find_titled(std::string_view title, std::chrono::milliseconds timeout) {
  const auto end = Clock::now() + timeout;
  do {
    Window root_return = 0;
    Window parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    std::optional<std::uint64_t> found;
    if (XQueryTree(display_, root(), &root_return, &parent, &children, &count)) {
      for (unsigned int i = 0; i < count && !found; ++i) {
        if (text_property(children[i], "_NET_WM_NAME") == std::string(title)) found = children[i];
      }
      if (children != nullptr) XFree(children);
    }
    if (found) return found;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  } while (Clock::now() < end);
  return std::nullopt;
}

void XClient::pointer_to(int x, int y) {
  XTestFakeMotionEvent(display_, DefaultScreen(display_), x, y, CurrentTime);
  sync();
}

void XClient::button(unsigned int button, bool down) {
  XTestFakeButtonEvent(display_, button, down ? True : False, CurrentTime);
  sync();
}

void XClient::click(unsigned int b) {
  button(b, true);
  button(b, false);
}

void XClient::key(unsigned long keysym, bool shift) {
  const KeyCode shift_code = XKeysymToKeycode(display_, XK_Shift_L);
  const KeyCode code = XKeysymToKeycode(display_, keysym);
  ASSERT_NE(code, 0) << "no key for keysym " << keysym;
  if (shift) XTestFakeKeyEvent(display_, shift_code, True, CurrentTime);
  XTestFakeKeyEvent(display_, code, True, CurrentTime);
  XTestFakeKeyEvent(display_, code, False, CurrentTime);
  if (shift) XTestFakeKeyEvent(display_, shift_code, False, CurrentTime);
  sync();
}

void XClient::send_protocol(std::uint64_t window, const char* protocol, long data1, long data2) {
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = atom("WM_PROTOCOLS");
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(atom(protocol));
  event.xclient.data.l[1] = data1;
  event.xclient.data.l[2] = data2;
  XSendEvent(display_, window, False, NoEventMask, &event);
  sync();
}

void XClient::request_close(std::uint64_t window) { send_protocol(window, "WM_DELETE_WINDOW", CurrentTime, 0); }

void XClient::send_ping(std::uint64_t window, long timestamp) {
  send_protocol(window, "_NET_WM_PING", timestamp, static_cast<long>(window));
}

void XClient::send_key_event(std::uint64_t window, unsigned long keysym) {
  XEvent event{};
  event.xkey.type = KeyPress;
  event.xkey.window = window;
  event.xkey.root = root();
  event.xkey.keycode = XKeysymToKeycode(display_, keysym);
  event.xkey.same_screen = True;
  XSendEvent(display_, window, False, KeyPressMask, &event);
}

void XClient::destroy(std::uint64_t window) {
  XDestroyWindow(display_, window);
  sync();
}

std::uint64_t XClient::take_focus(int x, int y) {
  const Window w = XCreateSimpleWindow(display_, root(), x, y, 50, 50, 0, 0, 0);
  own_windows_.push_back(w);
  XMapWindow(display_, w);
  sync();
  wait_viewable(w);
  XSetInputFocus(display_, w, RevertToParent, CurrentTime);
  sync();
  return w;
}

void XClient::set_root_text(const char* name, std::string_view value) {
  XChangeProperty(display_, root(), atom(name), XA_STRING, 8, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(value.data()), static_cast<int>(value.size()));
  sync();
}

void XClient::set_root_cardinals(const char* name, const std::vector<long>& values) {
  XChangeProperty(display_, root(), atom(name), XA_CARDINAL, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(values.data()), static_cast<int>(values.size()));
  sync();
}

void XClient::delete_root_property(const char* name) {
  XDeleteProperty(display_, root(), atom(name));
  sync();
}

bool XClient::set_monitor(const char* name, int x, int y, int width, int height, bool primary) {
  XRRMonitorInfo* monitor = XRRAllocateMonitor(display_, 0);
  if (monitor == nullptr) return false;
  monitor->name = atom(name);
  monitor->primary = primary ? True : False;
  monitor->automatic = False;
  monitor->x = x;
  monitor->y = y;
  monitor->width = width;
  monitor->height = height;
  // A millimetre size the server accepts; nothing here reads it.
  monitor->mwidth = width / 4;
  monitor->mheight = height / 4;
  XRRSetMonitor(display_, root(), monitor);
  XFree(monitor);
  sync();
  int count = 0;
  XRRMonitorInfo* monitors = XRRGetMonitors(display_, root(), True, &count);
  bool found = false;
  for (int i = 0; i < count; ++i) found = found || monitors[i].name == atom(name);
  if (monitors != nullptr) XRRFreeMonitors(monitors);
  return found;
}

void XClient::own_selection(const char* name) {
  const Window owner = XCreateSimpleWindow(display_, root(), -10, -10, 1, 1, 0, 0, 0);
  own_windows_.push_back(owner);
  XSetSelectionOwner(display_, atom(name), owner, CurrentTime);
  sync();
}

void XClient::release_selection(const char* name) {
  XSetSelectionOwner(display_, atom(name), None, CurrentTime);
  sync();
}

void XClient::act_as_window_manager(const std::vector<std::string>& supported) {
  const Window check = XCreateSimpleWindow(display_, root(), -10, -10, 1, 1, 0, 0, 0);
  own_windows_.push_back(check);
  const long id = static_cast<long>(check);
  XChangeProperty(display_, check, atom("_NET_SUPPORTING_WM_CHECK"), XA_WINDOW, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(&id), 1);
  XChangeProperty(display_, root(), atom("_NET_SUPPORTING_WM_CHECK"), XA_WINDOW, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(&id), 1);
  std::vector<long> atoms;
  for (const auto& name : supported) atoms.push_back(static_cast<long>(atom(name.c_str())));
  XChangeProperty(display_, root(), atom("_NET_SUPPORTED"), XA_ATOM, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(atoms.data()), static_cast<int>(atoms.size()));
  XSelectInput(display_, root(), SubstructureNotifyMask);
  sync();
}

std::optional<XClientMessage> XClient::next_root_message(std::chrono::milliseconds timeout) {
  const auto end = Clock::now() + timeout;
  for (;;) {
    while (XPending(display_) > 0) {
      XEvent event;
      XNextEvent(display_, &event);
      if (event.type != ClientMessage) continue;
      XClientMessage out;
      out.window = event.xclient.window;
      char* name = XGetAtomName(display_, event.xclient.message_type);
      out.type = name != nullptr ? name : "";
      if (name != nullptr) XFree(name);
      for (int i = 0; i < 5; ++i) out.data[static_cast<std::size_t>(i)] = event.xclient.data.l[i];
      return out;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    if (left <= 0) return std::nullopt;
    pollfd p{ConnectionNumber(display_), POLLIN, 0};
    ::poll(&p, 1, static_cast<int>(left));
  }
}

}  // namespace qv::testing
