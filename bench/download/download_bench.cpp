// Measures download_file against the curl command-line tool on the same
// loopback server in the same run: throughput of each, and the peak resident
// memory of each downloading process (each runs as a child of its own, so the
// server's memory is not counted).
//
//   download_bench [--size-mib N] [--rounds N] [--dir FOLDER] [--https]
//
// The files live in a new folder of the benchmark's own inside FOLDER
// (default /dev/shm, so that the disk does not set the pace), removed at the
// end; nothing else in FOLDER is touched. A second, smaller download shows
// whether memory grows with size.
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "core/foundations/network.hpp"
#include "support/http_testing.hpp"
#include "support/loopback_server.hpp"
#include "support/stats.hpp"
#include "support/temp_dir.hpp"

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct Run {
  double seconds = 0;
  long peak_rss_kib = 0;
  bool ok = false;
};

// Runs argv as a child and reports its wall time and peak resident memory.
Run run_child(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return {};
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid) return {};
  Run run;
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.peak_rss_kib = usage.ru_maxrss;
  run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return run;
}

// The child side: one download_file call.
int fetch(const std::string& url, const std::string& destination, std::uint64_t size, const std::string& ca_file) {
  if (!ca_file.empty()) qv::platform::set_http_test_trust_anchor(ca_file);
  qv::CancelFlag cancel;
  std::uint64_t calls = 0;
  qv::ByteProgress progress = [&](std::uint64_t) { ++calls; };
  auto result = qv::download_file(url, destination, size, size, true, cancel, progress);
  if (!result) {
    std::fprintf(stderr, "download_file: %s\n", result.error().to_string().c_str());
    return 1;
  }
  return 0;
}

void make_source(const fs::path& path, std::uint64_t size) {
  std::vector<char> block(1 << 20);
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>((i * 131 + 7) & 0xff);
  std::ofstream out(path, std::ios::binary);
  for (std::uint64_t done = 0; done < size; done += block.size()) {
    block[0] = static_cast<char>(done >> 20);  // no two blocks alike
    out.write(block.data(), static_cast<std::streamsize>(std::min<std::uint64_t>(block.size(), size - done)));
  }
}

bool same_size(const fs::path& a, std::uint64_t size) {
  std::error_code ec;
  return fs::file_size(a, ec) == size && !ec;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 5 && args[0] == "--fetch") return fetch(args[1], args[2], std::stoull(args[3]), args[4]);

  std::uint64_t size_mib = 1024;
  int rounds = 3;
  fs::path base = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
  bool https = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--size-mib" && i + 1 < args.size())
      size_mib = std::stoull(args[++i]);
    else if (args[i] == "--rounds" && i + 1 < args.size())
      rounds = std::stoi(args[++i]);
    else if (args[i] == "--dir" && i + 1 < args.size())
      base = args[++i];
    else if (args[i] == "--https")
      https = true;
    else {
      std::fprintf(stderr, "usage: download_bench [--size-mib N] [--rounds N] [--dir FOLDER] [--https]\n");
      return 2;
    }
  }

  // Everything goes into a new folder of our own inside the one given; only
  // that folder is removed at the end.
  const qv::test::TempDir own(base, "qv-download-bench-");
  const fs::path dir = own.path();
  fs::create_directories(dir / "served");
  const std::uint64_t size = size_mib << 20;
  const std::uint64_t small = std::min<std::uint64_t>(size, 64ull << 20);
  make_source(dir / "served/big.bin", size);
  make_source(dir / "served/small.bin", small);

  qv::test::LoopbackServer::Options options;
  std::string ca_file;
  if (https) {
    options.https = true;
    options.certificate = qv::test::make_test_certificate(dir);
    ca_file = options.certificate->ca_file.string();
  }
  qv::test::LoopbackServer server(options);
  server.serve_folder(dir / "served");
  const std::string self = fs::canonical("/proc/self/exe").string();
  const std::string ca_arg = ca_file.empty() ? std::string() : ca_file;

  std::vector<double> ours, theirs;
  long ours_rss = 0, theirs_rss = 0;
  for (int round = 0; round < rounds; ++round) {
    const fs::path mine = dir / "ours.bin";
    const fs::path tool = dir / "curl.bin";
    fs::remove(mine);
    fs::remove(tool);
    std::vector<std::string> curl_args = {"curl", "-sS", "--http1.1", "-o", tool.string()};
    if (https) curl_args.insert(curl_args.end(), {"--cacert", ca_file});
    curl_args.push_back(server.url("/big.bin"));
    // Alternate the order so that neither side always runs on a warmer cache.
    Run a, b;
    if (round % 2 == 0) {
      a = run_child({self, "--fetch", server.url("/big.bin"), mine.string(), std::to_string(size), ca_arg});
      b = run_child(curl_args);
    } else {
      b = run_child(curl_args);
      a = run_child({self, "--fetch", server.url("/big.bin"), mine.string(), std::to_string(size), ca_arg});
    }
    if (!a.ok || !b.ok || !same_size(mine, size) || !same_size(tool, size)) {
      std::fprintf(stderr, "round %d failed (download_file %s, curl %s)\n", round + 1, a.ok ? "ok" : "failed",
                   b.ok ? "ok" : "failed");
      return 1;
    }
    const double mib = static_cast<double>(size) / (1 << 20);
    std::printf("round %d: download_file %.0f MiB/s (peak RSS %ld KiB), curl %.0f MiB/s (peak RSS %ld KiB)\n",
                round + 1, mib / a.seconds, a.peak_rss_kib, mib / b.seconds, b.peak_rss_kib);
    ours.push_back(mib / a.seconds);
    theirs.push_back(mib / b.seconds);
    ours_rss = std::max(ours_rss, a.peak_rss_kib);
    theirs_rss = std::max(theirs_rss, b.peak_rss_kib);
    fs::remove(mine);
    fs::remove(tool);
  }

  // The same download at a small size: a bounded download's peak memory does
  // not depend on how large the body is.
  const fs::path small_out = dir / "small-ours.bin";
  const Run small_run =
      run_child({self, "--fetch", server.url("/small.bin"), small_out.string(), std::to_string(small), ca_arg});

  const double ours_median = qv::bench::median(ours);
  const double theirs_median = qv::bench::median(theirs);
  std::printf("\n%s, %llu MiB, median of %d rounds:\n", https ? "https" : "http",
              static_cast<unsigned long long>(size_mib), rounds);
  std::printf("  download_file  %.0f MiB/s, peak RSS %ld KiB (%llu MiB body: %ld KiB)\n", ours_median, ours_rss,
              static_cast<unsigned long long>(small >> 20), small_run.peak_rss_kib);
  std::printf("  curl           %.0f MiB/s, peak RSS %ld KiB\n", theirs_median, theirs_rss);
  std::printf("  ratio          %.1f%% of curl's throughput\n", 100.0 * ours_median / theirs_median);
  return 0;
}
