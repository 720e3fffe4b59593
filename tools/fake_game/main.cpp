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
//   --fake-declared-pid=N  declare N as the window's _NET_WM_PID, as any X
//                          client may, instead of its own id
//   --fake-stale-client-list
//                          publish _NET_CLIENT_LIST naming only a window it
//                          has destroyed, as a killed window manager leaves it
//   --fake-grab-server     with the window, grab the X server and hold it
//   --fake-windows=N       with the window, open N more, unmapped and titled
//                          "filler"
//   --fake-comm=NAME       run under the command name NAME
//   --fake-map=PATH        map the file PATH into memory, as a loader maps the
//                          program it runs (repeatable, mapped in order)
//   --fake-leader-exits    end the first thread and go on in another one
//   --fake-ignore-close    ignore SIGTERM and WM_DELETE_WINDOW
//   --fake-ignore-window-close
//                          ignore WM_DELETE_WINDOW (SIGTERM still ends it)
//   --fake-exec-on-close=PATH
//                          on SIGTERM, execute PATH (no arguments) instead of
//                          ending, as a program that turns into another would
//   --fake-hand-over=PATH  with the window, leave its X connection (and so the
//                          window) to a child that writes its id to PATH and
//                          runs on, and end once it has (exit code 0)
//   --fake-user=UID        run as the user (and group) UID; needs root
//   --fake-undumpable      make itself non-dumpable, so that other processes
//                          of its user may not inspect it either
//   --fake-exit-after=MS   exit on its own after MS milliseconds (60000)
//
// Exit codes tell how it ended: 10 after WM_DELETE_WINDOW, 11 after SIGTERM, 3
// when it ran out its time, 2 on a set-up error.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
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
  bool stale_client_list = false;
  bool grab_server = false;
  long extra_windows = 0;
  std::string comm;
  std::vector<std::string> maps;
  bool leader_exits = false;
  bool ignore_close = false;
  bool ignore_window_close = false;
  std::string exec_on_close;
  std::string hand_over;
  std::optional<long> user;
  bool undumpable = false;
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
    if (arg == "--fake-stale-client-list") options.stale_client_list = true;
    if (arg == "--fake-grab-server") options.grab_server = true;
    if (auto v = value_of(arg, "--fake-windows")) options.extra_windows = std::strtol(v->c_str(), nullptr, 10);
    if (auto v = value_of(arg, "--fake-comm")) options.comm = *v;
    if (auto v = value_of(arg, "--fake-map")) options.maps.push_back(*v);
    if (arg == "--fake-leader-exits") options.leader_exits = true;
    if (arg == "--fake-ignore-close") options.ignore_close = true;
    if (arg == "--fake-ignore-window-close") options.ignore_window_close = true;
    if (auto v = value_of(arg, "--fake-exec-on-close")) options.exec_on_close = *v;
    if (auto v = value_of(arg, "--fake-hand-over")) options.hand_over = *v;
    if (auto v = value_of(arg, "--fake-user")) options.user = std::strtol(v->c_str(), nullptr, 10);
    if (arg == "--fake-undumpable") options.undumpable = true;
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

GameWindow open_window(const Options& options) {
  const std::string& title = *options.window_title;
  GameWindow w;
  w.display = XOpenDisplay(nullptr);
  if (w.display == nullptr) return w;
  Display* d = w.display;
  w.id = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 64, 48, 0, 0, 0);
  Atom utf8 = XInternAtom(d, "UTF8_STRING", False);
  XChangeProperty(d, w.id, XInternAtom(d, "_NET_WM_NAME", False), utf8, 8, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(title.data()), static_cast<int>(title.size()));
  XStoreName(d, w.id, title.c_str());
  long pid = options.declared_pid.value_or(static_cast<long>(getpid()));
  XChangeProperty(d, w.id, XInternAtom(d, "_NET_WM_PID", False), XA_CARDINAL, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(&pid), 1);
  w.protocols = XInternAtom(d, "WM_PROTOCOLS", False);
  w.delete_window = XInternAtom(d, "WM_DELETE_WINDOW", False);
  XSetWMProtocols(d, w.id, &w.delete_window, 1);
  const Atom client_list = XInternAtom(d, "_NET_CLIENT_LIST", False);
  if (options.client_list) {
    XChangeProperty(d, DefaultRootWindow(d), client_list, XA_WINDOW, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&w.id), 1);
  }
  if (options.stale_client_list) {
    ::Window gone = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 8, 8, 0, 0, 0);
    XStoreName(d, gone, title.c_str());
    XChangeProperty(d, DefaultRootWindow(d), client_list, XA_WINDOW, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&gone), 1);
    XDestroyWindow(d, gone);
  }
  for (long i = 0; i < options.extra_windows; ++i) {
    XStoreName(d, XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 8, 8, 0, 0, 0), "filler");
  }
  XMapWindow(d, w.id);
  if (options.grab_server) XGrabServer(d);
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
    if (window.display != nullptr && close_requested(window) && !options.ignore_close &&
        !options.ignore_window_close) {
      return kClosedByWindow;
    }
    int rc = poll(fds_to_watch, count, static_cast<int>(left));
    if (rc < 0) continue;
    if (signals >= 0 && (fds_to_watch[0].revents & POLLIN) != 0) {
      if (options.exec_on_close.empty()) return kClosedBySignal;
      // The new program starts with the signal unblocked and no signal
      // pending.
      signalfd_siginfo info{};
      (void)!read(signals, &info, sizeof info);
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      execl(options.exec_on_close.c_str(), options.exec_on_close.c_str(), static_cast<char*>(nullptr));
      return 2;
    }
  }
}

// Keeps a read-only mapping of the file for the life of the process.
bool map_file(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  void* mapped = mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE, fd, 0);
  close(fd);
  return mapped != MAP_FAILED;
}

bool leader_has_exited() {
  char text[1024];
  int fd = open("/proc/self/stat", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const ssize_t n = read(fd, text, sizeof text);
  close(fd);
  const std::string_view stat(text, n > 0 ? static_cast<std::size_t>(n) : 0);
  const auto end = stat.rfind(')');
  return end != std::string_view::npos && end + 2 < stat.size() && stat[end + 2] == 'Z';
}

// Leaves the window's connection to a child, which reports its id at
// `path` and then waits as the game would (without reading the connection);
// returns in the parent once the child has reported, false on failure.
bool hand_over_window(const Options& options, int signals) {
  const pid_t child = fork();
  if (child < 0) return false;
  if (child == 0) {
    if (!write_file(options.hand_over, std::to_string(getpid()) + "\n")) _exit(2);
    _exit(run(options, signals, GameWindow{}));
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (access(options.hand_over.c_str(), F_OK) != 0) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Waits for the end, takes the window (and what it published) away, and
// returns the exit code.
int finish(const Options& options, int signals, const GameWindow& window) {
  const int code = run(options, signals, window);
  if (window.display != nullptr) {
    if (options.client_list || options.stale_client_list) {
      XDeleteProperty(window.display, DefaultRootWindow(window.display),
                      XInternAtom(window.display, "_NET_CLIENT_LIST", False));
    }
    XCloseDisplay(window.display);
  }
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<int> fds = open_descriptors();
  std::vector<std::string> args(argv + 1, argv + argc);
  const Options options = parse(args);

  if (options.user) {
    const auto id = static_cast<uid_t>(*options.user);
    if (setgroups(0, nullptr) != 0 || setgid(id) != 0 || setuid(id) != 0) return 2;
    // A change of user makes a process non-dumpable; a game run by that user
    // is not.
    if (!options.undumpable) prctl(PR_SET_DUMPABLE, 1, 0, 0, 0);
  }
  if (options.undumpable) prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);

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

  if (!options.comm.empty()) prctl(PR_SET_NAME, options.comm.c_str(), 0, 0, 0);
  for (const auto& path : options.maps) {
    if (!map_file(path)) return 2;
  }

  GameWindow window;
  if (options.window_title) window = open_window(options);
  if (!options.hand_over.empty()) {
    if (window.display == nullptr || !hand_over_window(options, signals)) return 2;
    if (!options.ready.empty() && !write_file(options.ready, "ready\n")) return 2;
    // Ends without closing the connection, which the child holds on.
    _exit(0);
  }

  if (!options.leader_exits) {
    if (!options.ready.empty() && !write_file(options.ready, "ready\n")) return 2;
    return finish(options, signals, window);
  }
  // The process goes on in a second thread once the first has ended; it is
  // ready when the first thread shows as exited.
  std::thread([=] {
    if (!options.comm.empty()) prctl(PR_SET_NAME, options.comm.c_str(), 0, 0, 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!leader_has_exited()) {
      if (std::chrono::steady_clock::now() > deadline) std::_Exit(2);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (!options.ready.empty() && !write_file(options.ready, "ready\n")) std::_Exit(2);
    std::exit(finish(options, signals, window));
  }).detach();
  pthread_exit(nullptr);
}
