#include "platform/window.hpp"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/cursorfont.h>
#include <X11/extensions/XShm.h>
#include <X11/keysym.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <fmt/format.h>

#include "platform/compositor_watch.hpp"
#include "platform/environment.hpp"
#include "platform/window_shape.hpp"
#include "platform/window_title.hpp"
#include "platform/x11_connection.hpp"

// Xlib names its status type with a macro; below, Status is the system's.
#undef Status

namespace qv::platform {
namespace {

using XWindow = ::Window;

constexpr const char* kNoDisplayVariable = "no X display (DISPLAY is not set)";
constexpr const char* kNoDisplay = "cannot open the X display \"{}\"";
constexpr const char* kBadWindowSize = "window size {}x{} is outside 1 to {} pixels";
constexpr const char* kWindowRefused = "the X server refused the window (X error {})";
constexpr const char* kNoVisual = "the X display has no 24- or 32-bit TrueColor visual";
constexpr const char* kBadFrameSize = "frame size {}x{} is outside 1 to {} pixels";
constexpr const char* kBadFrameLength = "a frame of {}x{} pixels has {} bytes, not {}";
constexpr const char* kFrameRefused = "the X server cannot hold a frame of {}x{} pixels (X error {})";
constexpr const char* kNoImage = "no memory to describe a frame of {}x{} pixels";
constexpr const char* kWindowClosed = "the window is closed";
constexpr const char* kBadIcon = "icon {} of {}x{} pixels has {} bytes, not {}";
constexpr const char* kBadIconSize = "icon {} of {}x{} pixels is outside 1 to {} pixels a side";
constexpr const char* kIconsTooLarge = "the icons ({} values) are more than the X server accepts at once";

// The events the window listens to. Exposure is not among them: the server
// repaints the window from its background, which is the last frame.
constexpr long kWindowEvents = KeyPressMask | ButtonPressMask | ButtonReleaseMask | PointerMotionMask |
                               LeaveWindowMask | FocusChangeMask | StructureNotifyMask;

// _NET_WM_MOVERESIZE's "move" and "the request comes from an application".
constexpr long kMoveResizeMove = 8;
constexpr long kSourceApplication = 1;

bool side_in_range(std::int64_t side) { return side >= 1 && side <= kMaxWindowSide; }

std::int32_t clamp_side(std::int32_t side) { return std::clamp(side, 1, kMaxWindowSide); }

// The visual whose 32-bit pixels are the frames' bytes: alpha, red, green,
// blue from the top byte down. Failing that, a 24-bit visual with the same
// colour masks shows the frames without their opacity.
struct ChosenVisual {
  Visual* visual = nullptr;
  int depth = 0;
};

bool frame_masks(const XVisualInfo& info) {
  return info.red_mask == 0xFF0000 && info.green_mask == 0x00FF00 && info.blue_mask == 0x0000FF;
}

ChosenVisual choose_visual(Display* display, int screen) {
  XVisualInfo info{};
  if (XMatchVisualInfo(display, screen, 32, TrueColor, &info) && frame_masks(info)) return {info.visual, 32};
  if (XMatchVisualInfo(display, screen, 24, TrueColor, &info) && frame_masks(info)) return {info.visual, 24};
  return {};
}

// A frame-sized image in a shared-memory segment that the server reads
// directly. The segment is marked for removal as soon as both sides are
// attached, so nothing outlives the two processes.
class SharedImage {
 public:
  static std::unique_ptr<SharedImage> create(x11::Connection& connection, Visual* visual, int depth,
                                             std::int32_t width, std::int32_t height) {
    Display* display = connection.display();
    if (!XShmQueryExtension(display) || ImageByteOrder(display) != LSBFirst) return nullptr;
    auto shared = std::unique_ptr<SharedImage>(new SharedImage(display));
    shared->image_ = XShmCreateImage(display, visual, static_cast<unsigned>(depth), ZPixmap, nullptr,
                                     &shared->segment_, static_cast<unsigned>(width), static_cast<unsigned>(height));
    if (shared->image_ == nullptr || shared->image_->bits_per_pixel != 32) return nullptr;
    const auto bytes = static_cast<std::size_t>(shared->image_->bytes_per_line) * static_cast<std::size_t>(height);
    shared->segment_.shmid = ::shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    if (shared->segment_.shmid < 0) return nullptr;
    void* address = ::shmat(shared->segment_.shmid, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1)) {
      ::shmctl(shared->segment_.shmid, IPC_RMID, nullptr);
      return nullptr;
    }
    shared->segment_.shmaddr = shared->image_->data = static_cast<char*>(address);
    shared->segment_.readOnly = False;
    // A remote server, or one in another IPC namespace, refuses the attach.
    const unsigned char error = connection.errors_of([&] { XShmAttach(display, &shared->segment_); });
    ::shmctl(shared->segment_.shmid, IPC_RMID, nullptr);
    if (error != 0) return nullptr;
    shared->attached_ = true;
    return shared;
  }

  ~SharedImage() {
    if (attached_) XShmDetach(display_, &segment_);
    if (image_ != nullptr) {
      image_->data = nullptr;
      XDestroyImage(image_);
    }
    if (segment_.shmaddr != nullptr) ::shmdt(segment_.shmaddr);
  }
  SharedImage(const SharedImage&) = delete;
  SharedImage& operator=(const SharedImage&) = delete;

  XImage* image() const { return image_; }

  void fill(const std::uint8_t* bgra, std::int32_t width, std::int32_t height) {
    const auto row = static_cast<std::size_t>(width) * 4;
    for (std::int32_t y = 0; y < height; ++y) {
      std::memcpy(image_->data + static_cast<std::size_t>(y) * static_cast<std::size_t>(image_->bytes_per_line),
                  bgra + static_cast<std::size_t>(y) * row, row);
    }
  }

 private:
  explicit SharedImage(Display* display) : display_(display) {}
  Display* display_;
  XImage* image_ = nullptr;
  XShmSegmentInfo segment_{};
  bool attached_ = false;
};

MouseButton mouse_button(unsigned int button) {
  switch (button) {
    case Button1:
      return MouseButton::Left;
    case Button2:
      return MouseButton::Middle;
    case Button3:
      return MouseButton::Right;
    default:
      return MouseButton::Other;
  }
}

Key key_of(KeySym symbol) {
  switch (symbol) {
    case XK_Tab:
    case XK_ISO_Left_Tab:
      return Key::Tab;
    case XK_Return:
    case XK_KP_Enter:
      return Key::Enter;
    case XK_space:
      return Key::Space;
    case XK_Escape:
      return Key::Escape;
    default:
      return Key::Other;
  }
}

}  // namespace

struct Window::Impl {
  std::unique_ptr<x11::Connection> connection;  // none for a headless window
  XWindow window = 0;
  Visual* visual = nullptr;
  int depth = 0;
  Colormap colormap = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;

  // The last frame, on the server: the window's background.
  Pixmap frame = 0;
  GC gc = nullptr;
  std::int32_t frame_width = 0;
  std::int32_t frame_height = 0;
  bool shared_memory_wanted = true;
  bool shared_memory_refused = false;
  std::unique_ptr<SharedImage> shared;

  // The cut to the frame's visible pixels (window_shape.hpp): the mask of the
  // last frame presented (empty while nothing needs it), and the one the
  // window is cut to now (empty while it is whole).
  bool shape_available = false;
  std::optional<x11::CompositorWatch> compositor;
  std::vector<std::uint8_t> frame_mask;
  std::int32_t mask_width = 0;
  std::int32_t mask_height = 0;
  std::vector<std::uint8_t> applied_mask;
  std::int32_t applied_width = 0;
  std::int32_t applied_height = 0;

  Cursor cursors[2] = {0, 0};
  std::optional<PointerShape> cursor;
  std::string title;
  bool open = true;
  bool mapped_once = false;
  double dpi = kBaseDpi;

  // The last button press, for a caption drag that the caller arms while
  // handling it.
  struct Press {
    unsigned int button = 0;
    int root_x = 0;
    int root_y = 0;
    bool held = false;
  } press;
  // A caption press armed by begin_caption_drag: the move starts once the
  // pointer has gone kCaptionDragThreshold pixels from it with the button
  // still held; a release before that ends it as a plain click would.
  struct CaptionPress {
    bool armed = false;
    unsigned int button = 0;
    int root_x = 0;
    int root_y = 0;
  } caption;
  // A drag the window does itself, where the window manager cannot.
  struct Drag {
    bool active = false;
    unsigned int button = 0;
    int offset_x = 0;
    int offset_y = 0;
  } drag;
  // The button of a move handed to the window manager. Its release belongs to
  // the move: the window manager that performs the move takes it, and one
  // that reaches the window anyway is dropped, but only until the next press,
  // which begins a click of its own.
  unsigned int handed_over = 0;
  std::vector<KeySym> keymap;
  int min_keycode = 0;
  int max_keycode = 0;

  Display* display() const { return connection->display(); }

  ~Impl() {
    release_window();
    if (connection) {
      for (Cursor& c : cursors) {
        if (c != 0) XFreeCursor(display(), c);
      }
      if (colormap != 0) XFreeColormap(display(), colormap);
      XFlush(display());
    }
    shared.reset();
  }

  // Frees what the server holds for the window, and the window itself.
  void release_window() {
    if (!connection) return;
    shared.reset();
    if (gc != nullptr) XFreeGC(display(), gc);
    gc = nullptr;
    if (frame != 0) XFreePixmap(display(), frame);
    frame = 0;
    frame_width = frame_height = 0;
    forget_shape();
    if (window != 0) XDestroyWindow(display(), window);
    window = 0;
    XFlush(display());
  }

  Status replace_frame(std::int32_t w, std::int32_t h) {
    Pixmap pixmap = 0;
    const unsigned char error = connection->errors_of([&] {
      pixmap = XCreatePixmap(display(), window, static_cast<unsigned>(w), static_cast<unsigned>(h),
                             static_cast<unsigned>(depth));
    });
    if (error != 0) {
      if (pixmap != 0) XFreePixmap(display(), pixmap);
      return fail(fmt::format(kFrameRefused, w, h, error));
    }
    if (gc == nullptr) gc = XCreateGC(display(), pixmap, 0, nullptr);
    XSetWindowBackgroundPixmap(display(), window, pixmap);
    if (frame != 0) XFreePixmap(display(), frame);
    frame = pixmap;
    frame_width = w;
    frame_height = h;
    shared.reset();
    return {};
  }

  // The window takes the size of its frame, whoever changed it meanwhile.
  void fit_to_frame() {
    if (width == frame_width && height == frame_height) return;
    XResizeWindow(display(), window, static_cast<unsigned>(frame_width), static_cast<unsigned>(frame_height));
    connection->set_fixed_size(window, frame_width, frame_height, false);
    width = frame_width;
    height = frame_height;
  }

  Status put_frame(const std::uint8_t* bgra, std::int32_t w, std::int32_t h) {
    if (shared_memory_wanted && !shared_memory_refused && !shared) {
      shared = SharedImage::create(*connection, visual, depth, w, h);
      shared_memory_refused = !shared;
    }
    if (shared) {
      shared->fill(bgra, w, h);
      XShmPutImage(display(), frame, gc, shared->image(), 0, 0, 0, 0, static_cast<unsigned>(w),
                   static_cast<unsigned>(h), False);
      return {};
    }
    // XPutImage only reads the pixels; Xlib swaps them itself for a server
    // of the other byte order.
    XImage* image = XCreateImage(display(), visual, static_cast<unsigned>(depth), ZPixmap, 0,
                                 const_cast<char*>(reinterpret_cast<const char*>(bgra)), static_cast<unsigned>(w),
                                 static_cast<unsigned>(h), 32, w * 4);
    if (image == nullptr) return fail(fmt::format(kNoImage, w, h));
    image->byte_order = LSBFirst;
    XPutImage(display(), frame, gc, image, 0, 0, 0, 0, static_cast<unsigned>(w), static_cast<unsigned>(h));
    image->data = nullptr;
    XDestroyImage(image);
    return {};
  }

  void forget_shape() {
    frame_mask.clear();
    applied_mask.clear();
    mask_width = mask_height = applied_width = applied_height = 0;
  }

  // Cut to the frame's visible pixels wherever nobody blends their opacity:
  // no compositing manager runs, or the window has no alpha at all.
  bool wants_shape() const { return shape_available && (depth != 32 || !compositor || !compositor->running()); }

  // The mask of the frame the server holds, read back from it a band of rows
  // at a time: for a compositing manager that stops while no new frame comes.
  // Nothing when the server cannot give the pixels in the frames' byte order.
  void read_mask_from_frame() {
    if (frame == 0) return;
    constexpr std::int32_t kBandRows = 128;
    const auto row = static_cast<std::size_t>(frame_width) * 4;
    const std::size_t stride = (static_cast<std::size_t>(frame_width) + 7) / 8;
    std::vector<std::uint8_t> mask(stride * static_cast<std::size_t>(frame_height));
    std::vector<std::uint8_t> band;
    for (std::int32_t top = 0; top < frame_height; top += kBandRows) {
      const std::int32_t rows = std::min(kBandRows, frame_height - top);
      XImage* image = XGetImage(display(), frame, 0, top, static_cast<unsigned>(frame_width),
                                static_cast<unsigned>(rows), AllPlanes, ZPixmap);
      if (image == nullptr) return;
      const bool usable = image->bits_per_pixel == 32 && image->byte_order == LSBFirst &&
                          static_cast<std::size_t>(image->bytes_per_line) >= row;
      if (usable) {
        band.resize(row * static_cast<std::size_t>(rows));
        for (std::int32_t y = 0; y < rows; ++y) {
          std::memcpy(band.data() + static_cast<std::size_t>(y) * row,
                      image->data + static_cast<std::size_t>(y) * static_cast<std::size_t>(image->bytes_per_line), row);
        }
      }
      XDestroyImage(image);
      if (!usable) return;
      const std::vector<std::uint8_t> bits = visibility_mask(band, frame_width, rows);
      std::memcpy(mask.data() + static_cast<std::size_t>(top) * stride, bits.data(), bits.size());
    }
    frame_mask = std::move(mask);
    mask_width = frame_width;
    mask_height = frame_height;
  }

  // Brings the window's cut in line with the last frame and the compositor;
  // sends nothing when both are as they were.
  void update_shape() {
    if (window == 0) return;
    const bool shaped = !applied_mask.empty();
    if (!wants_shape()) {
      if (!shaped) return;
      x11::clear_bounding_shape(*connection, window);
      applied_mask.clear();
      applied_width = applied_height = 0;
      return;
    }
    if (frame_mask.empty()) read_mask_from_frame();
    if (frame_mask.empty()) return;
    if (shaped && applied_width == mask_width && applied_height == mask_height && applied_mask == frame_mask) return;
    x11::set_bounding_mask(*connection, window, frame_mask, mask_width, mask_height);
    applied_mask = frame_mask;
    applied_width = mask_width;
    applied_height = mask_height;
  }

  std::optional<std::pair<std::int32_t, std::int32_t>> position() const {
    if (!connection || window == 0 || connection->lost()) return std::nullopt;
    int x = 0;
    int y = 0;
    XWindow child = 0;
    if (!XTranslateCoordinates(display(), window, connection->root(), 0, 0, &x, &y, &child)) return std::nullopt;
    return std::pair{x, y};
  }

  // Whether the pointer, now at (x, y) on the root with `state` held, has
  // gone far enough from the armed press with its button down to move.
  bool caption_move_due(int x, int y, unsigned int state) const {
    if (caption.button < 1 || caption.button > 5) return false;
    if ((state & (XCB_BUTTON_MASK_1 << (caption.button - 1))) == 0) return false;
    return std::abs(x - caption.root_x) >= kCaptionDragThreshold || std::abs(y - caption.root_y) >= kCaptionDragThreshold;
  }

  // The armed press turns into a move: the window manager's where it moves
  // windows, else the window's own, which catches up with the pointer at once.
  void start_caption_move(int x, int y, Time time) {
    caption.armed = false;
    if (connection->window_manager_supports("_NET_WM_MOVERESIZE")) {
      send_move_request(time);
      return;
    }
    auto at = position();
    if (!at) return;
    drag = Drag{true, caption.button, caption.root_x - at->first, caption.root_y - at->second};
    XMoveWindow(display(), window, x - drag.offset_x, y - drag.offset_y);
    XFlush(display());
  }

  void send_move_request(Time time) {
    // The window manager cannot grab the pointer while the press's implicit
    // grab holds it.
    XUngrabPointer(display(), time);
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = connection->atom("_NET_WM_MOVERESIZE");
    event.xclient.format = 32;
    // Where the press grabbed the window, so that point stays under the
    // pointer; and the button held, whose release ends the move.
    event.xclient.data.l[0] = caption.root_x;
    event.xclient.data.l[1] = caption.root_y;
    event.xclient.data.l[2] = kMoveResizeMove;
    event.xclient.data.l[3] = static_cast<long>(caption.button);
    event.xclient.data.l[4] = kSourceApplication;
    XSendEvent(display(), connection->root(), False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
    XFlush(display());
    handed_over = caption.button;
  }

  // The keyboard's symbols, column 0 (no modifier) of each key code.
  void load_keymap() {
    XDisplayKeycodes(display(), &min_keycode, &max_keycode);
    int per_keycode = 0;
    KeySym* symbols = XGetKeyboardMapping(display(), static_cast<KeyCode>(min_keycode),
                                          max_keycode - min_keycode + 1, &per_keycode);
    keymap.assign(static_cast<std::size_t>(max_keycode - min_keycode + 1), NoSymbol);
    if (symbols == nullptr) return;
    for (std::size_t i = 0; i < keymap.size() && per_keycode > 0; ++i) {
      keymap[i] = symbols[i * static_cast<std::size_t>(per_keycode)];
    }
    XFree(symbols);
  }

  KeySym symbol_of(xcb_keycode_t code) const {
    if (code < min_keycode || code > max_keycode) return NoSymbol;
    return keymap[static_cast<std::size_t>(code - min_keycode)];
  }

  // Motion events read behind this one replace it: only where the pointer
  // is now matters, and a flood must not cost a repaint per event.
  x11::Event last_motion(x11::Event event) {
    for (;;) {
      const xcb_generic_event_t* next = connection->peek_read_event();
      if (next == nullptr || (next->response_type & 0x7F) != XCB_MOTION_NOTIFY) return event;
      event = connection->next_event();
    }
  }

  template <class T>
  static const T& as(const x11::Event& event) {
    return *reinterpret_cast<const T*>(event.get());
  }

  std::optional<WindowEvent> translate(x11::Event event) {
    // Events another client sent (the top bit set) count as the server's own.
    switch (event->response_type & 0x7F) {
      case XCB_CLIENT_MESSAGE: {
        const auto& e = as<xcb_client_message_event_t>(event);
        x11::Message message;
        message.type = e.type;
        message.format = e.format;
        for (int i = 0; i < 5; ++i) message.data[i] = static_cast<long>(e.data.data32[i]);
        if (connection->answer_ping(message)) return std::nullopt;
        if (connection->is_close_request(message)) return CloseRequested{};
        return std::nullopt;
      }
      case XCB_KEY_PRESS: {
        const auto& e = as<xcb_key_press_event_t>(event);
        return KeyPressed{key_of(symbol_of(e.detail)), (e.state & XCB_MOD_MASK_SHIFT) != 0};
      }
      case XCB_FOCUS_OUT: {
        const auto& e = as<xcb_focus_out_event_t>(event);
        // Grabs (a window manager's move, a menu) leave the focus where it is.
        if (e.mode == XCB_NOTIFY_MODE_GRAB || e.mode == XCB_NOTIFY_MODE_UNGRAB) return std::nullopt;
        if (e.detail == XCB_NOTIFY_DETAIL_INFERIOR || e.detail == XCB_NOTIFY_DETAIL_POINTER) return std::nullopt;
        return FocusLost{};
      }
      case XCB_LEAVE_NOTIFY: {
        const auto& e = as<xcb_leave_notify_event_t>(event);
        if (drag.active || caption.armed || e.detail == XCB_NOTIFY_DETAIL_INFERIOR) return std::nullopt;
        return PointerLeft{};
      }
      case XCB_MOTION_NOTIFY: {
        event = last_motion(std::move(event));
        const auto& e = as<xcb_motion_notify_event_t>(event);
        if (drag.active) {
          XMoveWindow(display(), window, e.root_x - drag.offset_x, e.root_y - drag.offset_y);
          XFlush(display());
          return std::nullopt;
        }
        // A caption press moves nothing but the window, and only once the
        // pointer has gone a few pixels with its button held.
        if (caption.armed) {
          if (caption_move_due(e.root_x, e.root_y, e.state)) start_caption_move(e.root_x, e.root_y, e.time);
          return std::nullopt;
        }
        return PointerMoved{e.event_x, e.event_y};
      }
      case XCB_BUTTON_PRESS: {
        const auto& e = as<xcb_button_press_event_t>(event);
        press = Press{e.detail, e.root_x, e.root_y, true};
        // The window manager took the release of the move it performed.
        handed_over = 0;
        return ButtonPressed{mouse_button(e.detail), e.event_x, e.event_y};
      }
      case XCB_BUTTON_RELEASE: {
        const auto& e = as<xcb_button_release_event_t>(event);
        if (press.button == e.detail) press.held = false;
        // Only the release of the drag's own press is dropped.
        if (drag.active && drag.button == e.detail) {
          drag.active = false;
          return std::nullopt;
        }
        if (caption.armed && caption.button == e.detail) {
          caption.armed = false;
          return std::nullopt;
        }
        if (handed_over == e.detail) {
          handed_over = 0;
          return std::nullopt;
        }
        return ButtonReleased{mouse_button(e.detail), e.event_x, e.event_y};
      }
      case XCB_MAP_NOTIFY:
        if (!mapped_once && as<xcb_map_notify_event_t>(event).window == window) {
          mapped_once = true;
          connection->focus_if_unmanaged(window);
        }
        return std::nullopt;
      case XCB_DESTROY_NOTIFY:
        if (as<xcb_destroy_notify_event_t>(event).window == window) {
          // Destroyed by another client: what the server held went with it.
          window = 0;
          frame = 0;
          gc = nullptr;
          shared.reset();
          forget_shape();
          open = false;
        }
        return std::nullopt;
      case XCB_PROPERTY_NOTIFY: {
        const auto& e = as<xcb_property_notify_event_t>(event);
        if (e.window == connection->root() && e.atom == connection->atom("RESOURCE_MANAGER")) {
          const double now = x11::read_dpi(*connection);
          if (now != dpi) {
            dpi = now;
            return ScaleChanged{now};
          }
        }
        return std::nullopt;
      }
      case XCB_MAPPING_NOTIFY:
        if (as<xcb_mapping_notify_event_t>(event).request == XCB_MAPPING_KEYBOARD) load_keymap();
        return std::nullopt;
      default:
        if (compositor && compositor->handle(*connection, *event)) {
          update_shape();
          XFlush(display());
        }
        return std::nullopt;
    }
  }
};

Window::Window(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Window::Window(Window&& other) noexcept = default;
Window& Window::operator=(Window&& other) noexcept = default;
Window::~Window() = default;

Result<Window> Window::create(const WindowOptions& options) {
  if (!side_in_range(options.width) || !side_in_range(options.height)) {
    return fail(fmt::format(kBadWindowSize, options.width, options.height, kMaxWindowSide));
  }
  auto impl = std::make_unique<Impl>();
  impl->connection = x11::Connection::open();
  if (!impl->connection) {
    auto name = environment_variable("DISPLAY");
    return fail(name ? fmt::format(kNoDisplay, *name) : std::string(kNoDisplayVariable));
  }
  impl->connection->own_events();
  x11::Connection& connection = *impl->connection;
  Display* display = connection.display();
  const ChosenVisual chosen = choose_visual(display, connection.screen());
  if (chosen.visual == nullptr) return fail(kNoVisual);
  impl->visual = chosen.visual;
  impl->depth = chosen.depth;
  impl->title = options.title;
  impl->shared_memory_wanted = options.shared_memory;
  impl->width = options.width;
  impl->height = options.height;

  const unsigned char error = connection.errors_of([&] {
    impl->colormap = XCreateColormap(display, connection.root(), chosen.visual, AllocNone);
    XSetWindowAttributes attributes{};
    attributes.colormap = impl->colormap;
    attributes.border_pixel = 0;
    attributes.background_pixel = 0;  // transparent until the first frame
    attributes.event_mask = kWindowEvents;
    impl->window = XCreateWindow(display, connection.root(), options.x, options.y,
                                 static_cast<unsigned>(options.width), static_cast<unsigned>(options.height), 0,
                                 chosen.depth, InputOutput, chosen.visual,
                                 CWColormap | CWBorderPixel | CWBackPixel | CWEventMask, &attributes);
  });
  if (error != 0) {
    if (impl->window != 0) XDestroyWindow(display, impl->window);
    impl->window = 0;
    return fail(fmt::format(kWindowRefused, error));
  }

  connection.set_client_properties(impl->window, options.class_name);
  connection.set_fixed_size(impl->window, options.width, options.height, true);
  x11::set_window_title(connection, impl->window, options.title);
  // No title bar or border: the frames draw the whole window.
  const long motif_hints[5] = {2 /* decorations field set */, 0, 0 /* no decorations */, 0, 0};
  const Atom motif = connection.atom("_MOTIF_WM_HINTS");
  XChangeProperty(display, impl->window, motif, motif, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(motif_hints), 5);
  const long type = static_cast<long>(connection.atom("_NET_WM_WINDOW_TYPE_NORMAL"));
  XChangeProperty(display, impl->window, connection.atom("_NET_WM_WINDOW_TYPE"), XA_ATOM, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(&type), 1);
  // The user's scale can change while the window lives, and so can the
  // compositing manager that blends the window's transparent pixels.
  XSelectInput(display, connection.root(), PropertyChangeMask);
  impl->shape_available = x11::has_shape_extension(connection);
  impl->compositor.emplace(connection);
  impl->dpi = x11::read_dpi(connection);
  impl->load_keymap();
  XFlush(display);
  return Window(std::move(impl));
}

Window Window::create_headless(const WindowOptions& options) {
  auto impl = std::make_unique<Impl>();
  impl->title = options.title;
  impl->width = clamp_side(options.width);
  impl->height = clamp_side(options.height);
  return Window(std::move(impl));
}

bool Window::is_open() const { return impl_->open && !connection_lost(); }
bool Window::is_headless() const { return !impl_->connection; }
std::uint64_t Window::id() const { return impl_->window; }
bool Window::uses_shared_memory() const { return impl_->shared != nullptr; }
bool Window::has_alpha() const { return impl_->depth == 32; }
const std::string& Window::title() const { return impl_->title; }
int Window::event_fd() const { return impl_->connection ? impl_->connection->fd() : -1; }
bool Window::connection_lost() const { return impl_->connection && impl_->connection->lost(); }

void Window::show() {
  if (!impl_->connection || !impl_->open) return;
  XMapWindow(impl_->display(), impl_->window);
  XFlush(impl_->display());
}

Status Window::present(std::span<const std::uint8_t> bgra, std::int32_t width, std::int32_t height) {
  Impl& w = *impl_;
  if (!w.open) return fail(kWindowClosed);
  if (!side_in_range(width) || !side_in_range(height)) {
    return fail(fmt::format(kBadFrameSize, width, height, kMaxWindowSide));
  }
  const std::size_t expected = static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4;
  if (bgra.size() != expected) return fail(fmt::format(kBadFrameLength, width, height, bgra.size(), expected));
  if (!w.connection) {
    w.width = width;
    w.height = height;
    return {};
  }
  if (w.connection->lost()) return fail(kDisplayConnectionLost);
  if (width != w.frame_width || height != w.frame_height) QV_TRY(w.replace_frame(width, height));
  QV_TRY(w.put_frame(bgra.data(), width, height));
  w.fit_to_frame();
  // The mask costs a pass over the frame; while a compositing manager blends
  // the window it is left out, and read back from the server if one stops.
  if (w.wants_shape()) {
    w.frame_mask = visibility_mask(bgra, width, height);
    w.mask_width = width;
    w.mask_height = height;
  } else {
    w.frame_mask.clear();
  }
  w.update_shape();
  XClearWindow(w.display(), w.window);
  // Waiting for the server: the shared segment is written again by the next
  // frame and must have been read first; a slow server holds the window
  // thread back instead of piling frames up; and the frame is on the screen
  // when present returns, for whoever looks at the window next.
  XSync(w.display(), False);
  if (w.connection->lost()) return fail(kDisplayConnectionLost);
  return {};
}

void Window::set_title(std::string_view utf8) {
  impl_->title = std::string(utf8);
  if (!impl_->connection || !impl_->open) return;
  x11::set_window_title(*impl_->connection, impl_->window, utf8);
  XFlush(impl_->display());
}

Status Window::set_icon(std::span<const IconImage> images) {
  std::vector<long> values;
  for (std::size_t i = 0; i < images.size(); ++i) {
    const IconImage& image = images[i];
    if (image.width < 1 || image.height < 1 || image.width > kMaxIconSide || image.height > kMaxIconSide) {
      return fail(fmt::format(kBadIconSize, i, image.width, image.height, kMaxIconSide));
    }
    const std::size_t pixels = std::size_t{image.width} * image.height;
    if (image.rgba.size() != pixels * 4) {
      return fail(fmt::format(kBadIcon, i, image.width, image.height, image.rgba.size(), pixels * 4));
    }
    values.push_back(image.width);
    values.push_back(image.height);
    for (std::size_t p = 0; p < pixels; ++p) {
      const std::uint8_t* px = image.rgba.data() + 4 * p;
      values.push_back(static_cast<long>((std::uint32_t{px[3]} << 24) | (std::uint32_t{px[0]} << 16) |
                                         (std::uint32_t{px[1]} << 8) | std::uint32_t{px[2]}));
    }
  }
  if (!impl_->connection || !impl_->open) return {};
  Display* display = impl_->display();
  long limit = XExtendedMaxRequestSize(display);
  if (limit == 0) limit = XMaxRequestSize(display);
  // The request's own header takes seven of the four-byte units.
  if (static_cast<long long>(values.size()) + 7 > limit) return fail(fmt::format(kIconsTooLarge, values.size()));
  const Atom icon = impl_->connection->atom("_NET_WM_ICON");
  if (values.empty()) {
    XDeleteProperty(display, impl_->window, icon);
  } else {
    XChangeProperty(display, impl_->window, icon, XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(values.data()), static_cast<int>(values.size()));
  }
  XFlush(display);
  return {};
}

void Window::set_cursor(PointerShape shape) {
  Impl& w = *impl_;
  if (!w.connection || !w.open || w.cursor == shape) return;
  Cursor& cursor = w.cursors[shape == PointerShape::Hand ? 1 : 0];
  if (cursor == 0) cursor = XCreateFontCursor(w.display(), shape == PointerShape::Hand ? XC_hand2 : XC_left_ptr);
  XDefineCursor(w.display(), w.window, cursor);
  XFlush(w.display());
  w.cursor = shape;
}

void Window::minimise() {
  if (!impl_->connection || !impl_->open) return;
  XIconifyWindow(impl_->display(), impl_->window, impl_->connection->screen());
  XFlush(impl_->display());
}

void Window::begin_caption_drag() {
  Impl& w = *impl_;
  if (!w.connection || !w.open || !w.press.held || w.drag.active || w.caption.armed) return;
  w.caption = Impl::CaptionPress{true, w.press.button, w.press.root_x, w.press.root_y};
}

void Window::move_resize(std::int32_t x, std::int32_t y, std::int32_t width, std::int32_t height) {
  Impl& w = *impl_;
  width = clamp_side(width);
  height = clamp_side(height);
  w.width = width;
  w.height = height;
  if (!w.connection || !w.open) return;
  w.connection->set_fixed_size(w.window, width, height, true);
  XMoveResizeWindow(w.display(), w.window, x, y, static_cast<unsigned>(width), static_cast<unsigned>(height));
  XFlush(w.display());
}

std::optional<std::pair<std::int32_t, std::int32_t>> Window::position() const { return impl_->position(); }

DisplayInfo Window::display_info() const {
  if (!impl_->connection || impl_->connection->lost()) return DisplayInfo{};
  return x11::read_display_info(*impl_->connection);
}

void Window::destroy() {
  if (!impl_->open) return;
  impl_->open = false;
  impl_->release_window();
}

std::optional<WindowEvent> Window::next_event(bool& more) {
  more = false;
  Impl& w = *impl_;
  if (!w.connection || !w.open) return std::nullopt;
  x11::Event event = w.connection->next_event();
  if (w.connection->lost()) w.open = false;
  if (!event) return std::nullopt;
  auto out = w.translate(std::move(event));
  more = w.open && w.connection->has_read_event();
  return out;
}

}  // namespace qv::platform
