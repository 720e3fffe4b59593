// A stand-in for the game client. Tests copy it into a client under any name
// (zEntry.exe, a renamed copy, a copy outside the client) and start it.
//
// Every argument is recorded; those below also steer it, wherever they stand:
//   --fake-record=PATH     write {"pid", "cwd", "args", "fds"} as JSON to PATH
//                          (args: every argument after the program; fds: the
//                          descriptors open when it started)
//   --fake-ready=PATH      create PATH once signals and the window are set up
//   --fake-window[=TITLE]  open a top-level window titled TITLE ("QV Online")
//                          when a display is reachable
//   --fake-client-list     with the window, act as a window manager would:
//                          publish _NET_CLIENT_LIST on the root window holding
//                          only this window (removed again on a normal exit)
//   --fake-ignore-close    ignore SIGTERM and WM_DELETE_WINDOW
//   --fake-exit-after=MS   exit on its own after MS milliseconds (60000)
//
// Exit codes tell how it ended: 10 after WM_DELETE_WINDOW, 11 after SIGTERM, 3
// when it ran out its time, 2 on a set-up error.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace {

constexpr int kClosedByWindow = 10;
constexpr int kClosedBySignal = 11;
constexpr int kRanOutOfTime = 3;

struct Options {
  std::string record;
  std::string ready;
  std::optional<std::string> window_title;
  bool client_list = false;
  bool ignore_close = false;
  long exit_after_ms = 60000;
  std::optional<long> declared_pid;  // the _NET_WM_PID to declare instead of our own
};

std::optional<std::string> value_of(std::string_view arg, std::string_view name) {
  if (!arg.starts_with(name) || arg.size() <= name.size() || arg[name.size()] != '=') return std::nullopt;
  return std::string(arg.substr(name.size() + 1));
}

Options parse(const std::vector<std::string>& args) {
  Options options;
  for (const auto& arg : args) {
    if (auto v = value_of(arg, "--fake-record")) options.record = *v;
    if (auto v = value_of(arg, "--fake-ready")) options.ready = *v;
    if (auto v = value_of(arg, "--fake-window")) options.window_title = *v;
    if (arg == "--fake-window") options.window_title = "QV Online";
    if (arg == "--fake-client-list") options.client_list = true;
    if (arg == "--fake-ignore-close") options.ignore_close = true;
    if (auto v = value_of(arg, "--fake-exit-after")) options.exit_after_ms = std::strtol(v->c_str(), nullptr, 10);
    if (auto v = value_of(arg, "--fake-declared-pid")) options.declared_pid = std::strtol(v->c_str(), nullptr, 10);
  }
  return options;
}

std::vector<int> open_descriptors() {
  std::vector<int> fds;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return fds;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    int fd = std::atoi(entry->d_name);
    if (fd != dirfd(dir)) fds.push_back(fd);
  }
  closedir(dir);
  return fds;
}

// Written beside the target and renamed, so a reader never sees half a record.
bool write_file(const std::string& path, const std::string& text) {
  const std::string temp = path + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush()) return false;
  }
  return std::rename(temp.c_str(), path.c_str()) == 0;
}

bool write_record(const Options& options, const std::vector<std::string>& args, const std::vector<int>& fds) {
  char cwd[4096];
  nlohmann::ordered_json record;
  record["pid"] = static_cast<long>(getpid());
  record["cwd"] = getcwd(cwd, sizeof cwd) != nullptr ? std::string(cwd) : std::string();
  record["args"] = args;
  record["fds"] = fds;
  return write_file(options.record, record.dump());
}

struct GameWindow {
  Display* display = nullptr;
  ::Window id = 0;
  Atom protocols = None;
  Atom delete_window = None;
};

GameWindow open_window(const std::string& title, bool client_list, std::optional<long> declared_pid) {
  GameWindow w;
  w.display = XOpenDisplay(nullptr);
  if (w.display == nullptr) return w;
  Display* d = w.display;
  w.id = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 64, 48, 0, 0, 0);
  Atom utf8 = XInternAtom(d, "UTF8_STRING", False);
  XChangeProperty(d, w.id, XInternAtom(d, "_NET_WM_NAME", False), utf8, 8, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(title.data()), static_cast<int>(title.size()));
  XStoreName(d, w.id, title.c_str());
  long pid = declared_pid.value_or(static_cast<long>(getpid()));
  XChangeProperty(d, w.id, XInternAtom(d, "_NET_WM_PID", False), XA_CARDINAL, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(&pid), 1);
  w.protocols = XInternAtom(d, "WM_PROTOCOLS", False);
  w.delete_window = XInternAtom(d, "WM_DELETE_WINDOW", False);
  XSetWMProtocols(d, w.id, &w.delete_window, 1);
  if (client_list) {
    XChangeProperty(d, DefaultRootWindow(d), XInternAtom(d, "_NET_CLIENT_LIST", False), XA_WINDOW, 32,
                    PropModeReplace, reinterpret_cast<const unsigned char*>(&w.id), 1);
  }
  XMapWindow(d, w.id);
  XSync(d, False);
  return w;
}

// True when the pending X events hold a close request.
bool close_requested(const GameWindow& w) {
  bool requested = false;
  while (XPending(w.display) > 0) {
    XEvent event;
    XNextEvent(w.display, &event);
    if (event.type == ClientMessage && event.xclient.message_type == w.protocols &&
        static_cast<Atom>(event.xclient.data.l[0]) == w.delete_window) {
      requested = true;
    }
  }
  return requested;
}

// Waits for a close request or the end of its time; returns the exit code.
int run(const Options& options, int signals, const GameWindow& window) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(options.exit_after_ms);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return kRanOutOfTime;
    pollfd fds_to_watch[2];
    nfds_t count = 0;
    if (signals >= 0) fds_to_watch[count++] = pollfd{signals, POLLIN, 0};
    if (window.display != nullptr) fds_to_watch[count++] = pollfd{ConnectionNumber(window.display), POLLIN, 0};
    if (window.display != nullptr && close_requested(window) && !options.ignore_close) return kClosedByWindow;
    int rc = poll(fds_to_watch, count, static_cast<int>(left));
    if (rc < 0) continue;
    if (signals >= 0 && (fds_to_watch[0].revents & POLLIN) != 0) return kClosedBySignal;
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<int> fds = open_descriptors();
  std::vector<std::string> args(argv + 1, argv + argc);
  const Options options = parse(args);

  if (!options.record.empty() && !write_record(options, args, fds)) return 2;

  int signals = -1;
  if (options.ignore_close) {
    signal(SIGTERM, SIG_IGN);
  } else {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    signals = signalfd(-1, &set, SFD_CLOEXEC);
    if (signals < 0) return 2;
  }

  GameWindow window;
  if (options.window_title) window = open_window(*options.window_title, options.client_list, options.declared_pid);

  if (!options.ready.empty() && !write_file(options.ready, "ready\n")) return 2;

  const int code = run(options, signals, window);
  if (window.display != nullptr) {
    if (options.client_list) {
      XDeleteProperty(window.display, DefaultRootWindow(window.display),
                      XInternAtom(window.display, "_NET_CLIENT_LIST", False));
    }
    XCloseDisplay(window.display);
  }
  return code;
}
