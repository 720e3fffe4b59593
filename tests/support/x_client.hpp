// A test's own client of a private X server (support/xvfb.hpp): it reads what
// a window publishes (properties, pixels, geometry), acts as the user would
// through the XTEST extension (pointer, buttons, keys), and can stand in for a
// window manager, so tests see the launcher's windows from outside.
//
// Windows are named by their X ids. Xlib's header stays out of this one: its
// macros (None, Bool, Status) would clash with what tests include.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct _XDisplay;

namespace qv::testing {

struct XGeometry {
  int x = 0;  // top-left corner on the root window
  int y = 0;
  int width = 0;
  int height = 0;
  int depth = 0;
  bool viewable = false;
};

// A rectangle of a window's shape, in window pixels.
struct ShapeRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  bool operator==(const ShapeRect&) const = default;
};

// A client message as a window manager receives it on the root window.
struct XClientMessage {
  std::uint64_t window = 0;
  std::string type;
  std::array<long, 5> data{};
};

class XClient {
 public:
  // Connects to `display`; fails the calling test when it cannot.
  explicit XClient(const std::string& display);
  ~XClient();
  XClient(const XClient&) = delete;
  XClient& operator=(const XClient&) = delete;

  _XDisplay* display() const { return display_; }
  std::uint64_t root() const;
  // Waits until the server has handled every request sent so far.
  void sync();

  // A 32-bit TrueColor visual with alpha in the top byte.
  bool has_argb_visual();

  // Properties: format 8 as bytes, format 32 as values, atom lists as names;
  // nothing / empty when missing.
  std::optional<std::string> text_property(std::uint64_t window, const char* name);
  std::vector<long> long_property(std::uint64_t window, const char* name);
  std::vector<std::string> atom_names(std::uint64_t window, const char* name);
  // WM_NAME decoded to UTF-8 from whichever ICCCM encoding it has.
  std::optional<std::string> wm_name(std::uint64_t window);
  // The type of a property ("STRING", "UTF8_STRING", ...); empty when missing.
  std::string property_type(std::uint64_t window, const char* name);
  // WM_CLASS as "instance/class".
  std::string wm_class(std::uint64_t window);
  // WM_NORMAL_HINTS: min width, min height, max width, max height.
  std::array<int, 4> size_limits(std::uint64_t window);

  std::optional<XGeometry> geometry(std::uint64_t window);
  // Whether the window's bounding region is cut (Shape extension), and the
  // rectangles of that region; a whole window has one, its own.
  bool bounding_shaped(std::uint64_t window);
  std::vector<ShapeRect> bounding_rectangles(std::uint64_t window);
  // The region as pixels of a `width` x `height` window, row by row: true
  // for each pixel inside it.
  std::vector<bool> bounding_pixels(std::uint64_t window, int width, int height);
  // Waits until the window is viewable with the given size (any size when
  // width is 0); false after `timeout`.
  bool wait_viewable(std::uint64_t window, int width = 0, int height = 0,
                     std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // The window's pixels as 4 bytes each (B, G, R, A: the 32-bit pixel on
  // this little-endian machine), rows top-down.
  std::vector<std::uint8_t> pixels(std::uint64_t window, int width, int height);

  // The top-level window whose _NET_WM_NAME is `title`; waits up to `timeout`.
  std::optional<std::uint64_t> find_titled(std::string_view title,
                                           std::chrono::milliseconds timeout = std::chrono::seconds(10));

  // The user, through XTEST. Positions are on the root window.
  void pointer_to(int x, int y);
  void button(unsigned int button, bool down);
  void click(unsigned int button);
  // Presses and releases the key of `keysym`, with Shift held when asked.
  void key(unsigned long keysym, bool shift = false);

  // Other clients' requests.
  void request_close(std::uint64_t window);  // WM_DELETE_WINDOW
  void send_ping(std::uint64_t window, long timestamp);
  void send_key_event(std::uint64_t window, unsigned long keysym);  // a synthetic KeyPress
  void destroy(std::uint64_t window);
  // A mapped 50 x 50 window of its own at (x, y) that takes the focus.
  std::uint64_t take_focus(int x, int y);

  void set_root_text(const char* name, std::string_view value);
  void set_root_cardinals(const char* name, const std::vector<long>& values);
  void delete_root_property(const char* name);
  // Defines a RandR monitor of the screen (without outputs); false when the
  // server refuses it.
  bool set_monitor(const char* name, int x, int y, int width, int height, bool primary);

  // Stands in for a compositing manager: owns the selection `name` (such as
  // "_NET_WM_CM_S0") through a window of its own, until released or until
  // this client goes.
  void own_selection(const char* name);
  // Gives the selection up (its owner becomes None).
  void release_selection(const char* name);

  // Becomes an EWMH window manager that supports the named hints: it
  // publishes them and receives the client messages sent to the root.
  void act_as_window_manager(const std::vector<std::string>& supported);
  // The next client message to the root window, as a window manager gets it.
  std::optional<XClientMessage> next_root_message(std::chrono::milliseconds timeout = std::chrono::seconds(5));

 private:
  unsigned long atom(const char* name);
  // A WM_PROTOCOLS message naming `protocol`, with two more values.
  void send_protocol(std::uint64_t window, const char* protocol, long data1, long data2);
  _XDisplay* display_ = nullptr;
  std::vector<unsigned long> own_windows_;
};

}  // namespace qv::testing
