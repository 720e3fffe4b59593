#include "platform/message_box.hpp"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <string>
#include <vector>

#include "platform/window_title.hpp"
#include "platform/x11_connection.hpp"

namespace qv::platform {
namespace {

using XWindow = ::Window;
using Line = std::vector<XChar2b>;

constexpr const char* kClassName = "QVLauncherMessage";
constexpr const char* kButtonLabel = "OK";
constexpr const char* kEllipsis = "...";

// Core fonts, first one that the server has: the ISO 10646 ones draw most
// scripts; "fixed" exists on every server.
constexpr const char* kFonts[] = {
    "-misc-fixed-medium-r-normal--13-*-*-*-*-*-iso10646-1",
    "-*-*-medium-r-normal--13-*-*-*-p-*-iso10646-1",
    "-*-*-medium-r-normal--*-120-*-*-*-*-iso10646-1",
    "fixed",
};

// Layout, in pixels.
constexpr int kPadding = 16;
constexpr int kSign = 32;
constexpr int kSignGap = 12;
constexpr int kMaxTextWidth = 520;
constexpr int kMinWidth = 260;
constexpr int kButtonWidth = 88;
constexpr int kButtonHeight = 26;
constexpr int kMaxLines = 40;

void write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

MessageBoxResult to_standard_error(std::string_view caption, std::string_view text) {
  std::string line;
  line.reserve(caption.size() + text.size() + 3);
  line.append(caption).append(": ").append(text).push_back('\n');
  write_standard_error(line);
  return MessageBoxResult::WrittenToStandardError;
}

XChar2b char2b(char32_t cp) {
  // Core fonts are indexed by 16-bit codes; what lies beyond has no glyph.
  if (cp > 0xFFFF) cp = 0xFFFD;
  return XChar2b{static_cast<unsigned char>(cp >> 8), static_cast<unsigned char>(cp & 0xFF)};
}

Line line_of(std::string_view ascii) {
  Line out;
  for (char c : ascii) out.push_back(char2b(static_cast<unsigned char>(c)));
  return out;
}

int width_of(XFontStruct* font, const Line& line) {
  return line.empty() ? 0 : XTextWidth16(font, line.data(), static_cast<int>(line.size()));
}

// The text's paragraphs, wrapped at blanks to `max_width` (a word wider than
// that is cut where it overflows), at most kMaxLines lines.
std::vector<Line> wrap(XFontStruct* font, std::string_view text, int max_width) {
  std::vector<Line> lines;
  Line current;
  auto push = [&](Line line) {
    while (!line.empty() && line.back().byte1 == 0 && line.back().byte2 == ' ') line.pop_back();
    lines.push_back(std::move(line));
  };
  std::size_t last_blank = std::string::npos;
  for (char32_t cp : x11::decode_utf8(text)) {
    if (cp == '\r') continue;
    if (cp == '\n') {
      push(std::move(current));
      current.clear();
      last_blank = std::string::npos;
      continue;
    }
    if (cp == '\t' || cp < 0x20 || cp == 0x7F) cp = ' ';
    current.push_back(char2b(cp));
    if (cp == ' ') last_blank = current.size() - 1;
    if (current.size() > 1 && width_of(font, current) > max_width) {
      if (cp == ' ') {
        current.pop_back();
        push(std::move(current));
        current.clear();
        last_blank = std::string::npos;
      } else if (last_blank != std::string::npos) {
        Line rest(current.begin() + static_cast<std::ptrdiff_t>(last_blank) + 1, current.end());
        current.resize(last_blank);
        push(std::move(current));
        current = std::move(rest);
        last_blank = std::string::npos;
      } else {
        XChar2b overflow = current.back();
        current.pop_back();
        push(std::move(current));
        current = Line{overflow};
      }
    }
  }
  push(std::move(current));
  if (lines.size() > static_cast<std::size_t>(kMaxLines)) {
    lines.resize(kMaxLines);
    lines.back() = line_of(kEllipsis);
  }
  return lines;
}

class Dialog {
 public:
  Dialog(x11::Connection& connection, XFontStruct* font, std::vector<Line> lines)
      : connection_(connection), display_(connection.display()), font_(font), lines_(std::move(lines)) {}
  ~Dialog() {
    if (gc_ != nullptr) XFreeGC(display_, gc_);
    if (window_ != 0) XDestroyWindow(display_, window_);
    XFlush(display_);
  }
  Dialog(const Dialog&) = delete;
  Dialog& operator=(const Dialog&) = delete;

  bool create(std::string_view caption) {
    line_height_ = font_->ascent + font_->descent + 2;
    int text_width = 0;
    for (const Line& line : lines_) text_width = std::max(text_width, width_of(font_, line));
    const int text_height = static_cast<int>(lines_.size()) * line_height_;
    text_left_ = kPadding + kSign + kSignGap;
    width_ = std::max(kMinWidth, text_left_ + text_width + kPadding);
    height_ = kPadding + std::max(kSign, text_height) + kPadding + kButtonHeight + kPadding;
    button_ = {(width_ - kButtonWidth) / 2, height_ - kPadding - kButtonHeight};

    // Centred on the primary monitor's work area, as a dialog without an
    // owner window is.
    int x = 0;
    int y = 0;
    const DisplayInfo info = x11::read_display_info(connection_);
    if (!info.monitors.empty()) {
      const ScreenRect& area = info.monitors.front().work_area;
      x = static_cast<int>(area.left + (area.width() - width_) / 2);
      y = static_cast<int>(area.top + (area.height() - height_) / 2);
    }
    const int screen = connection_.screen();
    background_ = color(0xF0, 0xF0, 0xF0, WhitePixel(display_, screen));
    text_ = color(0x10, 0x10, 0x10, BlackPixel(display_, screen));
    button_face_ = color(0xE1, 0xE1, 0xE1, WhitePixel(display_, screen));
    button_pressed_ = color(0xCC, 0xE4, 0xF7, WhitePixel(display_, screen));
    button_edge_ = color(0x70, 0x70, 0x70, BlackPixel(display_, screen));
    sign_ = color(0xC4, 0x2B, 0x1C, BlackPixel(display_, screen));
    sign_mark_ = WhitePixel(display_, screen);

    const unsigned char error = connection_.errors_of([&] {
      window_ = XCreateSimpleWindow(display_, connection_.root(), x, y, static_cast<unsigned>(width_),
                                    static_cast<unsigned>(height_), 0, text_, background_);
    });
    if (error != 0 || window_ == 0) return false;
    XSelectInput(display_, window_,
                 ExposureMask | KeyPressMask | ButtonPressMask | ButtonReleaseMask | StructureNotifyMask);
    connection_.set_client_properties(window_, kClassName);
    connection_.set_fixed_size(window_, width_, height_, true);
    x11::set_window_title(connection_, window_, caption);
    const long type = static_cast<long>(connection_.atom("_NET_WM_WINDOW_TYPE_DIALOG"));
    XChangeProperty(display_, window_, connection_.atom("_NET_WM_WINDOW_TYPE"), XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&type), 1);
    gc_ = XCreateGC(display_, window_, 0, nullptr);
    XSetFont(display_, gc_, font_->fid);
    XMapRaised(display_, window_);
    XFlush(display_);
    return true;
  }

  // Runs until the user dismisses the dialog; false when the display went
  // away first.
  bool run() {
    for (;;) {
      if (!connection_.event_waiting()) {
        if (connection_.lost()) return false;
        connection_.wait_readable(std::chrono::milliseconds(-1));
        continue;
      }
      XEvent event;
      XNextEvent(display_, &event);
      if (handle(event)) return true;
    }
  }

 private:
  struct Point {
    int x = 0;
    int y = 0;
  };

  unsigned long color(unsigned char r, unsigned char g, unsigned char b, unsigned long fallback) {
    XColor c{};
    c.red = static_cast<unsigned short>(r * 257);
    c.green = static_cast<unsigned short>(g * 257);
    c.blue = static_cast<unsigned short>(b * 257);
    if (!XAllocColor(display_, DefaultColormap(display_, connection_.screen()), &c)) return fallback;
    return c.pixel;
  }

  bool on_button(int x, int y) const {
    return x >= button_.x && x < button_.x + kButtonWidth && y >= button_.y && y < button_.y + kButtonHeight;
  }

  // True when the event dismisses the dialog.
  bool handle(XEvent& event) {
    switch (event.type) {
      case Expose:
        if (event.xexpose.count == 0) draw();
        return false;
      case MapNotify:
        connection_.focus_if_unmanaged(window_);
        return false;
      case KeyPress: {
        const KeySym symbol = XLookupKeysym(&event.xkey, 0);
        return symbol == XK_Return || symbol == XK_KP_Enter || symbol == XK_space || symbol == XK_Escape;
      }
      case ButtonPress:
        if (event.xbutton.button == Button1 && on_button(event.xbutton.x, event.xbutton.y)) {
          pressed_ = true;
          draw();
        }
        return false;
      case ButtonRelease:
        if (event.xbutton.button != Button1 || !pressed_) return false;
        pressed_ = false;
        if (on_button(event.xbutton.x, event.xbutton.y)) return true;
        draw();
        return false;
      case ClientMessage: {
        x11::Message message;
        message.type = event.xclient.message_type;
        message.format = event.xclient.format;
        for (int i = 0; i < 5; ++i) message.data[i] = event.xclient.data.l[i];
        if (connection_.answer_ping(message)) return false;
        return connection_.is_close_request(message);
      }
      case DestroyNotify:
        if (event.xdestroywindow.window != window_) return false;
        window_ = 0;
        return true;
      case MappingNotify:
        XRefreshKeyboardMapping(&event.xmapping);
        return false;
      default:
        return false;
    }
  }

  void draw() {
    XSetForeground(display_, gc_, background_);
    XFillRectangle(display_, window_, gc_, 0, 0, static_cast<unsigned>(width_), static_cast<unsigned>(height_));

    // The error sign: a red disc with a white cross.
    XSetForeground(display_, gc_, sign_);
    XFillArc(display_, window_, gc_, kPadding, kPadding, kSign, kSign, 0, 360 * 64);
    XSetForeground(display_, gc_, sign_mark_);
    XSetLineAttributes(display_, gc_, 3, LineSolid, CapRound, JoinRound);
    constexpr int kInset = 10;
    XDrawLine(display_, window_, gc_, kPadding + kInset, kPadding + kInset, kPadding + kSign - kInset,
              kPadding + kSign - kInset);
    XDrawLine(display_, window_, gc_, kPadding + kSign - kInset, kPadding + kInset, kPadding + kInset,
              kPadding + kSign - kInset);
    XSetLineAttributes(display_, gc_, 1, LineSolid, CapButt, JoinMiter);

    XSetForeground(display_, gc_, text_);
    int baseline = kPadding + font_->ascent;
    for (const Line& line : lines_) {
      if (!line.empty()) {
        XDrawString16(display_, window_, gc_, text_left_, baseline, line.data(), static_cast<int>(line.size()));
      }
      baseline += line_height_;
    }

    XSetForeground(display_, gc_, pressed_ ? button_pressed_ : button_face_);
    XFillRectangle(display_, window_, gc_, button_.x, button_.y, kButtonWidth, kButtonHeight);
    XSetForeground(display_, gc_, button_edge_);
    XDrawRectangle(display_, window_, gc_, button_.x, button_.y, kButtonWidth - 1, kButtonHeight - 1);
    const Line label = line_of(kButtonLabel);
    XSetForeground(display_, gc_, text_);
    XDrawString16(display_, window_, gc_, button_.x + (kButtonWidth - width_of(font_, label)) / 2,
                  button_.y + (kButtonHeight + font_->ascent - font_->descent) / 2, label.data(),
                  static_cast<int>(label.size()));
    XFlush(display_);
  }

  x11::Connection& connection_;
  Display* display_;
  XFontStruct* font_;
  std::vector<Line> lines_;
  XWindow window_ = 0;
  GC gc_ = nullptr;
  int width_ = 0;
  int height_ = 0;
  int line_height_ = 0;
  int text_left_ = 0;
  Point button_;
  bool pressed_ = false;
  unsigned long background_ = 0;
  unsigned long text_ = 0;
  unsigned long button_face_ = 0;
  unsigned long button_pressed_ = 0;
  unsigned long button_edge_ = 0;
  unsigned long sign_ = 0;
  unsigned long sign_mark_ = 0;
};

}  // namespace

// A reader that has gone would raise SIGPIPE and end the process; the signal
// is held back for this thread while writing, and one it caused is taken.
void write_standard_error(std::string_view bytes) {
  sigset_t pipe_only;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  sigset_t previous;
  if (::pthread_sigmask(SIG_BLOCK, &pipe_only, &previous) != 0) return;
  sigset_t pending_before;
  sigemptyset(&pending_before);
  ::sigpending(&pending_before);
  write_all(STDERR_FILENO, bytes);
  if (!sigismember(&pending_before, SIGPIPE)) {
    const timespec no_wait{0, 0};
    while (::sigtimedwait(&pipe_only, nullptr, &no_wait) < 0 && errno == EINTR) {
    }
  }
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

MessageBoxResult show_message_box(std::string_view caption, std::string_view text) {
  auto connection = x11::Connection::open();
  if (!connection) return to_standard_error(caption, text);
  XFontStruct* font = nullptr;
  for (const char* name : kFonts) {
    if ((font = XLoadQueryFont(connection->display(), name)) != nullptr) break;
  }
  if (font == nullptr) return to_standard_error(caption, text);
  bool dismissed = false;
  {
    Dialog dialog(*connection, font, wrap(font, text, kMaxTextWidth));
    dismissed = dialog.create(caption) && dialog.run();
  }
  XFreeFont(connection->display(), font);
  return dismissed ? MessageBoxResult::Dismissed : to_standard_error(caption, text);
}

}  // namespace qv::platform
