// Frames presented per second at the window's three usual scales, through
// shared memory, through the protocol, and by a bare XPutImage into a plain
// 32-bit window with a round trip after each frame (what any X client pays at
// the least). The launcher repaints at most every 100 ms.
//
//   present_bench [frames per case, default 60]
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/window.hpp"
#include "support/xvfb.hpp"

// After the system's headers: Xlib's macros (Status, None) would rewrite them.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

using Clock = std::chrono::steady_clock;

struct Size {
  const char* scale;
  int width;
  int height;
};

std::vector<std::uint8_t> frame_of(int width, int height, int seed) {
  std::vector<std::uint8_t> frame(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4);
  for (std::size_t i = 0; i < frame.size(); ++i) {
    frame[i] = static_cast<std::uint8_t>(i * 31 + static_cast<std::size_t>(seed));
  }
  return frame;
}

double launcher_ms(const Size& size, bool shared, int frames) {
  qv::platform::WindowOptions options;
  options.title = "bench";
  options.class_name = "bench";
  options.width = size.width;
  options.height = size.height;
  options.shared_memory = shared;
  auto window = qv::platform::Window::create(options);
  if (!window) {
    std::fprintf(stderr, "%s\n", window.error().to_string().c_str());
    std::exit(1);
  }
  window->show();
  const auto a = frame_of(size.width, size.height, 1);
  const auto b = frame_of(size.width, size.height, 2);
  if (!window->present(a, size.width, size.height)) std::exit(1);
  if (window->uses_shared_memory() != shared) std::fprintf(stderr, "shared memory not as asked\n");
  const auto start = Clock::now();
  for (int i = 0; i < frames; ++i) {
    if (!window->present(i % 2 ? a : b, size.width, size.height)) std::exit(1);
  }
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count() / frames;
}

double bare_ms(const Size& size, int frames) {
  Display* display = XOpenDisplay(nullptr);
  XVisualInfo info{};
  XMatchVisualInfo(display, DefaultScreen(display), 32, TrueColor, &info);
  const Window root = DefaultRootWindow(display);
  XSetWindowAttributes attributes{};
  attributes.colormap = XCreateColormap(display, root, info.visual, AllocNone);
  const Window window = XCreateWindow(display, root, 0, 0, static_cast<unsigned>(size.width),
                                      static_cast<unsigned>(size.height), 0, 32, InputOutput, info.visual,
                                      CWColormap | CWBorderPixel | CWBackPixel, &attributes);
  XMapWindow(display, window);
  GC gc = XCreateGC(display, window, 0, nullptr);
  auto a = frame_of(size.width, size.height, 1);
  auto b = frame_of(size.width, size.height, 2);
  auto put = [&](std::vector<std::uint8_t>& frame) {
    XImage* image = XCreateImage(display, info.visual, 32, ZPixmap, 0, reinterpret_cast<char*>(frame.data()),
                                 static_cast<unsigned>(size.width), static_cast<unsigned>(size.height), 32,
                                 size.width * 4);
    XPutImage(display, window, gc, image, 0, 0, 0, 0, static_cast<unsigned>(size.width),
              static_cast<unsigned>(size.height));
    image->data = nullptr;
    XDestroyImage(image);
    XSync(display, False);
  };
  put(a);
  const auto start = Clock::now();
  for (int i = 0; i < frames; ++i) put(i % 2 ? a : b);
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count() / frames;
  XCloseDisplay(display);
  return ms;
}

}  // namespace

int main(int argc, char** argv) {
  const int frames = argc > 1 ? std::stoi(argv[1]) : 60;
  qv::testing::Xvfb server("3200x2200x24");
  if (!server.display()) {
    std::fprintf(stderr, "no X server: %s\n", server.reason().c_str());
    return 1;
  }
  ::setenv("DISPLAY", server.display()->c_str(), 1);
  std::printf("%-6s %-11s %14s %14s %14s\n", "scale", "frame", "shared ms", "protocol ms", "bare XPutImage");
  for (const Size& size : {Size{"0.625", 960, 640}, Size{"1", 1536, 1024}, Size{"2", 3072, 2048}}) {
    const std::string dims = std::to_string(size.width) + "x" + std::to_string(size.height);
    std::printf("%-6s %-11s %14.2f %14.2f %14.2f\n", size.scale, dims.c_str(), launcher_ms(size, true, frames),
                launcher_ms(size, false, frames), bare_ms(size, frames));
  }
  return 0;
}
