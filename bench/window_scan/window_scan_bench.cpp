// Lists the top-level windows of a private Xvfb holding many windows (one of
// them a game window) with list_top_level_windows, which reads every title
// and asks the server for every owner, beside `xwininfo -root -children`,
// which lists the same windows with their names; then times the whole game
// search (windows and /proc) once.
//
//   window_scan_bench [--windows N] [--runs N]
//
// N windows (default 40000) besides the game's; each figure is the best and
// the median of --runs runs (default 3), the two sides taking turns.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/foundations/processes.hpp"
#include "platform/x11_windows.hpp"
#include "support/xvfb.hpp"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Options {
  long windows = 40000;
  int runs = 3;
};

std::optional<Options> parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h" || i + 1 >= argc) return std::nullopt;
    const std::string value = argv[++i];
    if (arg == "--windows") {
      o.windows = std::max(0L, std::stol(value));
    } else if (arg == "--runs") {
      o.runs = std::max(1, std::stoi(value));
    } else {
      return std::nullopt;
    }
  }
  return o;
}

pid_t start(std::vector<std::string> argv) {
  std::vector<char*> pointers;
  for (auto& a : argv) pointers.push_back(a.data());
  pointers.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0].c_str(), nullptr, nullptr, pointers.data(), environ) != 0) return -1;
  return pid;
}

double seconds_of(const std::function<bool()>& run) {
  const auto begin = Clock::now();
  if (!run()) return -1;
  return std::chrono::duration<double>(Clock::now() - begin).count();
}

void report(const char* what, std::vector<double> times) {
  std::sort(times.begin(), times.end());
  std::printf("%-44s best %7.3f s   median %7.3f s\n", what, times.front(), times[times.size() / 2]);
}

}  // namespace

int main(int argc, char** argv) {
  const auto options = parse(argc, argv);
  if (!options) {
    std::fprintf(stderr, "usage: window_scan_bench [--windows N] [--runs N]\n");
    return 2;
  }
  qv::testing::Xvfb server("1024x768x24");
  if (!server.display()) {
    std::fprintf(stderr, "no X server: %s\n", server.reason().c_str());
    return 1;
  }
  ::setenv("DISPLAY", server.display()->c_str(), 1);

  const fs::path ready = fs::temp_directory_path() / ("window-scan-bench-" + std::to_string(::getpid()));
  const pid_t game = start({QV_FAKE_GAME, "--fake-window", "--fake-windows=" + std::to_string(options->windows),
                            "--fake-exit-after=600000", "--fake-ready=" + ready.string()});
  while (game > 0 && !fs::exists(ready)) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  fs::remove(ready);

  std::size_t listed = 0;
  bool owner_known = false;
  std::vector<double> ours;
  std::vector<double> xwininfo;
  for (int run = 0; run < options->runs; ++run) {
    ours.push_back(seconds_of([&] {
      // A generous deadline: the figure is the scan, not the limit.
      auto windows = qv::platform::list_top_level_windows(std::chrono::seconds(120));
      if (!windows) {
        std::fprintf(stderr, "scan failed: %s\n", windows.error().to_string().c_str());
        return false;
      }
      listed = windows->size();
      owner_known = std::any_of(windows->begin(), windows->end(), [&](const auto& w) {
        return w.owner_pid == static_cast<std::uint32_t>(game) && w.title == "QV Online";
      });
      return true;
    }));
    xwininfo.push_back(seconds_of([] { return std::system("xwininfo -root -children > /dev/null 2>&1") == 0; }));
  }
  std::printf("%zu windows listed; the game window's owner %s\n", listed, owner_known ? "known" : "NOT known");
  report("list_top_level_windows (titles and owners)", ours);
  if (*std::min_element(xwininfo.begin(), xwininfo.end()) < 0) {
    std::printf("xwininfo -root -children: not installed (x11-utils)\n");
  } else {
    report("xwininfo -root -children (names)", xwininfo);
  }
  const double search =
      seconds_of([] { return qv::find_client_game_processes(fs::temp_directory_path()).has_value(); });
  std::printf("%-44s %7.3f s\n", "find_client_game_processes (windows, /proc)", search);

  ::kill(game, SIGKILL);
  ::waitpid(game, nullptr, 0);
  return 0;
}
