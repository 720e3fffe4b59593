// A demo for the launcher without a real server.
//
//   demo_release FOLDER [--game PROGRAM] [--data-mib N] [--stall-ms MS]
//
// Makes a new folder "demo-XXXXXX" inside FOLDER (which must exist) holding a
// client on release 1 with its installed state and launcher.json, and release
// 2 published beside it, signed with the test keys. Serves the release over
// plain HTTP on 127.0.0.1 (the configuration allows loopback HTTP) until
// SIGINT or SIGTERM, then removes that folder (what a launcher wrote into the
// demo client went with it) and ends. It removes nothing else: not FOLDER,
// nor anything a link inside the demo points to.
//
// The game of both releases is PROGRAM (the fake game by default), started
// by release 2 with a window titled "QV Online". --data-mib sets the size of
// the data file release 2 replaces (24); --stall-ms holds its download half
// way for that long, so the progress of a patch can be watched.
//
// Standard output, one line each, once the server answers:
//   config PATH     the launcher.json to start Launcher.exe with
//   address URL     the server's root
//   client PATH     the client folder
#include <signal.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "support/demo_client.hpp"
#include "support/loopback_server.hpp"
#include "support/temp_dir.hpp"

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kUsage = "usage: demo_release FOLDER [--game PROGRAM] [--data-mib N] [--stall-ms MS]\n";

struct Options {
  fs::path folder;
  fs::path game = QV_FAKE_GAME;
  std::uint64_t data_mib = 24;
  std::uint64_t stall_ms = 0;
};

std::optional<std::uint64_t> number(std::string_view text) {
  std::uint64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<Options> parse(int argc, char** argv) {
  if (argc < 2) return std::nullopt;
  Options options;
  options.folder = argv[1];
  for (int i = 2; i < argc; i += 2) {
    if (i + 1 >= argc) return std::nullopt;
    const std::string_view name = argv[i];
    const std::string_view value = argv[i + 1];
    if (name == "--game") {
      options.game = value;
    } else if (name == "--data-mib") {
      auto n = number(value);
      if (!n || *n == 0 || *n > 4096) return std::nullopt;
      options.data_mib = *n;
    } else if (name == "--stall-ms") {
      auto n = number(value);
      if (!n || *n > 600000) return std::nullopt;
      options.stall_ms = *n;
    } else {
      return std::nullopt;
    }
  }
  return options;
}

int serve(const Options& options) {
  // Blocked before any thread starts, so every thread leaves the two signals
  // to sigwait below.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  if (!fs::is_directory(options.folder)) {
    std::fprintf(stderr, "demo_release: %s is not a folder\n", options.folder.c_str());
    return 2;
  }
  // Removed when this function returns, however it returns.
  qv::test::TempDir made(options.folder, "demo-");
  qv::test::DemoClient demo(made.path(), {.game = options.game,
                                          .game_args = {"--fake-window", "--fake-exit-after=600000"},
                                          .data_bytes = options.data_mib << 20});
  qv::test::LoopbackServer server;
  server.serve_folder(demo.publish_dir());
  if (options.stall_ms > 0) {
    const auto& files = demo.new_manifest().files;
    const auto& data = *std::find_if(files.begin(), files.end(),
                                     [](const qv::FileEntry& f) { return f.path == qv::test::kDemoData; });
    qv::test::Answer stalled;
    stalled.stall_after = data.object_bytes / 2;
    stalled.stall_for = std::chrono::milliseconds(options.stall_ms);
    server.script("/" + data.object, stalled);
  }
  const fs::path config = demo.write_config(server.url("/"));
  std::printf("config %s\naddress %s\nclient %s\n", config.c_str(), server.url("/").c_str(), demo.root().c_str());
  std::fflush(stdout);

  int signal_number = 0;
  sigwait(&stop, &signal_number);
  std::fprintf(stderr, "demo_release: stopped; removing %s\n", made.path().c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  auto options = parse(argc, argv);
  if (!options) {
    std::fputs(kUsage.data(), stderr);
    return 2;
  }
  try {
    return serve(*options);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "demo_release: %s\n", e.what());
    return 1;
  }
}
