// The launcher's window: borderless, of a fixed size, every pixel with its own
// opacity, showing whatever frame was presented last.
//
// Frames are 32-bit premultiplied BGRA, rows top-down, the byte order that
// X's 32-bit ARGB visual has on a little-endian machine; they go to the
// server through shared memory where the server offers it and is local, else
// in the X protocol. The server keeps the last frame and repaints the window
// from it by itself, so a window thread that is busy for a while (starting the
// game, starting the updater) leaves no hole on the screen.
//
// Where no compositing manager runs (none owns _NET_WM_CM_S{screen}), or the
// window has no alpha, the window is cut to the pixels of its frame that are
// at least half opaque, so the transparent ones do not show as black; the cut
// follows every frame, and a compositing manager that starts or stops while
// the window lives.
//
// A headless window has no display at all: every call succeeds and draws
// nothing. It is what the render preview uses, so the preview runs where no
// display exists.
//
// A window belongs to the thread that created it (the window thread); no call
// may come from another thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "platform/error.hpp"
#include "platform/display_info.hpp"
#include "platform/window_events.hpp"

namespace qv::platform {

struct WindowOptions {
  std::string title;       // UTF-8
  std::string class_name;  // WM_CLASS: what desktops group and match windows by
  // Position of the top-left corner on the screen, and the size, in pixels.
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::int32_t width = 1;
  std::int32_t height = 1;
  // False keeps frames out of shared memory (as over a remote connection).
  bool shared_memory = true;
};

enum class PointerShape { Arrow, Hand };

// One size of the window icon: straight (not premultiplied) RGBA, rows
// top-down, `width` x `height` x 4 bytes.
struct IconImage {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::span<const std::uint8_t> rgba;
};

// The largest frame or window side accepted, in pixels.
inline constexpr std::int32_t kMaxWindowSide = 16384;
// The largest icon side accepted, in pixels.
inline constexpr std::uint32_t kMaxIconSide = 1024;
// How far, in pixels along either axis, the pointer goes with the button held
// before a caption press moves the window (a plain click never does).
inline constexpr int kCaptionDragThreshold = 4;
// The error of a window whose display went away.
inline constexpr const char* kDisplayConnectionLost = "the connection to the X display was lost";

class Window {
 public:
  // Creates the window on the display named by DISPLAY, not yet shown, at the
  // position and size of `options`. Fails when there is no display ("no X
  // display (DISPLAY is ...)"), when the size is outside 1 to kMaxWindowSide,
  // or when the server refuses the window.
  static Result<Window> create(const WindowOptions& options);
  // A window without a display (see above).
  static Window create_headless(const WindowOptions& options);

  Window(Window&& other) noexcept;
  Window& operator=(Window&& other) noexcept;
  // Destroys the window if it still exists and closes the connection.
  ~Window();

  // True until the window is destroyed: by destroy(), by another client, or
  // because the connection to the display was lost.
  bool is_open() const;
  bool is_headless() const;
  // The X window id (0 for a headless window), for tests and diagnostics.
  std::uint64_t id() const;
  // True when frames travel through shared memory.
  bool uses_shared_memory() const;
  // True when the window has per-pixel opacity. A server without a 32-bit
  // visual gets a 24-bit window that ignores the alpha bytes.
  bool has_alpha() const;

  // Maps the window. Where no window manager runs, it also takes the
  // keyboard focus once it is on the screen.
  void show();
  // Shows `bgra` (width x height x 4 bytes) and returns once the server has
  // it. The window takes the frame's size, whatever size it had before
  // (move_resize included). Fails on a buffer of the wrong length, a side
  // outside 1 to kMaxWindowSide, a destroyed window, or a server that cannot
  // hold the frame; the window then keeps its previous frame.
  Status present(std::span<const std::uint8_t> bgra, std::int32_t width, std::int32_t height);
  // The title shown by the window manager and task bar (UTF-8; ill-formed
  // sequences are shown as U+FFFD).
  void set_title(std::string_view utf8);
  // The last title set (as given).
  const std::string& title() const;
  // The window icon in one or more sizes (_NET_WM_ICON). Fails, changing
  // nothing, on an image of the wrong length or a side outside 1 to
  // kMaxIconSide, or when the icons are more than the server accepts at once.
  Status set_icon(std::span<const IconImage> images);
  // The pointer's shape over the window.
  void set_cursor(PointerShape shape);
  // Asks the window manager to minimise the window; nothing happens where no
  // window manager runs.
  void minimise();
  // Call while handling the ButtonPressed of a held button: the press then
  // works as a title bar's does. Once the pointer has gone
  // kCaptionDragThreshold pixels with the button still held, the window
  // follows it until the button is released: the window manager moves it
  // where it supports that (and takes the release itself), otherwise the
  // window moves itself. A press released before that moves nothing. Either
  // way the press gets no ButtonReleased, and no PointerMoved while it is
  // held; the next press is a click again. No effect when no button is held.
  void begin_caption_drag();
  // Moves the window's top-left corner to (x, y) and gives it the size
  // width x height (clamped to 1 to kMaxWindowSide).
  void move_resize(std::int32_t x, std::int32_t y, std::int32_t width, std::int32_t height);
  // The window's top-left corner on the screen, if the display can say.
  std::optional<std::pair<std::int32_t, std::int32_t>> position() const;
  // The display's scale and monitors, read now over the window's connection;
  // the defaults for a headless window.
  DisplayInfo display_info() const;
  // Destroys the window. Later calls do nothing (present fails).
  void destroy();

  // For the message loop (message_loop.hpp).
  //
  // The next event already received, without waiting; nothing when none is
  // waiting (or the one read was handled inside, such as a repaint or a
  // ping: `more` then tells whether to ask again at once).
  std::optional<WindowEvent> next_event(bool& more);
  // The descriptor to wait on for events; -1 for a headless window.
  int event_fd() const;
  // True when the connection to the display broke.
  bool connection_lost() const;

 private:
  struct Impl;
  explicit Window(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace qv::platform
