// Measures hash_file on one large file in the page cache for every algorithm,
// beside the Debian command-line tool for the same digest on the same file,
// and checks that both print the same digest.
//
//   hashing_bench [--file PATH] [--size BYTES] [--dir FOLDER] [--runs N]
//
// Without --file a file of --size bytes (default 1 GiB) is written into a
// new folder of the benchmark's own inside --dir (default /tmp), which is
// removed at the end; nothing else in --dir is touched. Each figure is the best of
// --runs runs (default 5), the two sides taking turns, after one warm-up read that loads the page cache.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/foundations/hashing.hpp"
#include "support/temp_dir.hpp"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Options {
  std::optional<fs::path> file;
  std::uint64_t size = std::uint64_t{1} << 30;
  fs::path dir = "/tmp";
  int runs = 5;
};

void usage() { std::fprintf(stderr, "usage: hashing_bench [--file PATH] [--size BYTES] [--dir FOLDER] [--runs N]\n"); }

std::optional<Options> parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h" || i + 1 >= argc) return std::nullopt;
    std::string value = argv[++i];
    if (arg == "--file") {
      o.file = value;
    } else if (arg == "--size") {
      o.size = std::stoull(value);
    } else if (arg == "--dir") {
      o.dir = value;
    } else if (arg == "--runs") {
      o.runs = std::max(1, std::stoi(value));
    } else {
      return std::nullopt;
    }
  }
  return o;
}

// Incompressible-looking content, so no layer below can shortcut the reads.
bool write_test_file(const fs::path& path, std::uint64_t size) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    std::perror("create test file");
    return false;
  }
  std::vector<std::uint64_t> block(1 << 17);  // 1 MiB
  std::uint64_t x = 0x2545f4914f6cdd1dull;
  for (std::uint64_t written = 0; written < size;) {
    for (auto& w : block) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      w = x;
    }
    std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size - written, block.size() * 8));
    if (::write(fd, block.data(), n) != static_cast<ssize_t>(n)) {
      std::perror("write test file");
      ::close(fd);
      return false;
    }
    written += n;
  }
  ::close(fd);
  return true;
}

std::string shell_quote(const fs::path& path) {
  std::string out = "'";
  for (char c : path.string()) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Runs `command`, returning the first hex word it prints (the digest).
std::string run_tool(const std::string& command) {
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return "?";
  std::string output;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
  if (::pclose(pipe) != 0) return "tool failed";
  if (auto eq = output.rfind("= "); eq != std::string::npos) output = output.substr(eq + 2);
  return output.substr(0, output.find_first_of(" \n"));
}

double seconds_of(const std::function<void()>& f) {
  auto start = Clock::now();
  f();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  auto options = parse(argc, argv);
  if (!options) {
    usage();
    return 2;
  }
  fs::path file;
  std::optional<qv::test::TempDir> own;
  if (options->file) {
    file = *options->file;
  } else {
    std::error_code space_ec;
    const auto space = fs::space(options->dir, space_ec);
    if (space_ec || space.available < options->size + (std::uint64_t{256} << 20)) {
      std::fprintf(stderr, "%s: not enough free space for a %llu-byte file (pass --dir or --size)\n",
                   options->dir.c_str(), static_cast<unsigned long long>(options->size));
      return 1;
    }
    try {
      own.emplace(options->dir, "qv-hashing-bench-");
    } catch (const std::exception& e) {
      std::fprintf(stderr, "%s\n", e.what());
      return 1;
    }
    file = own->path() / "data.bin";
    std::printf("writing %llu bytes to %s\n", static_cast<unsigned long long>(options->size), file.c_str());
    if (!write_test_file(file, options->size)) return 1;
  }
  std::error_code ec;
  const double megabytes = static_cast<double>(fs::file_size(file, ec)) / 1e6;
  if (ec) {
    std::fprintf(stderr, "%s: %s\n", file.c_str(), ec.message().c_str());
    return 1;
  }

  struct Row {
    qv::HashAlgorithm algorithm;
    const char* tool;  // nullptr: no tool computes nothing
  };
  const Row rows[] = {
      {qv::HashAlgorithm::Xxh64, "xxhsum -H1"},    {qv::HashAlgorithm::Xxh3_64, "xxhsum -H3"},
      {qv::HashAlgorithm::Xxh3_128, "xxhsum -H2"}, {qv::HashAlgorithm::Blake3, "b3sum --num-threads 1 --no-names"},
      {qv::HashAlgorithm::Sha256, "sha256sum"},    {qv::HashAlgorithm::Read, nullptr},
  };

  (void)qv::hash_file(file, qv::HashAlgorithm::Read);  // warm the page cache
  std::printf("%-9s %12s %12s %8s  %s\n", "algorithm", "hash_file", "tool", "ratio", "tool command");
  int status = 0;
  for (const Row& row : rows) {
    // The two sides take turns so that both meet the same background load;
    // each keeps its best run.
    std::string ours, theirs;
    double ours_s = 1e300, theirs_s = 1e300;
    const std::string command = row.tool ? std::string(row.tool) + " " + shell_quote(file) : "";
    for (int run = 0; run < options->runs; ++run) {
      ours_s = std::min(ours_s, seconds_of([&] {
                          auto digest = qv::hash_file(file, row.algorithm);
                          ours = digest ? *digest : "error: " + digest.error().to_string();
                        }));
      if (row.tool) theirs_s = std::min(theirs_s, seconds_of([&] { theirs = run_tool(command); }));
    }
    if (row.tool && theirs != ours) {
      std::printf("DIGEST MISMATCH for %s: %s vs %s\n", std::string(qv::hash_algorithm_name(row.algorithm)).c_str(),
                  ours.c_str(), theirs.c_str());
      status = 1;
    }
    const double ours_rate = megabytes / ours_s;
    if (row.tool) {
      const double theirs_rate = megabytes / theirs_s;
      std::printf("%-9s %7.0f MB/s %7.0f MB/s %8.2f  %s\n", std::string(qv::hash_algorithm_name(row.algorithm)).c_str(),
                  ours_rate, theirs_rate, ours_rate / theirs_rate, row.tool);
    } else {
      std::printf("%-9s %7.0f MB/s %12s %8s  (reading only)\n",
                  std::string(qv::hash_algorithm_name(row.algorithm)).c_str(), ours_rate, "-", "-");
    }
  }
  return status;
}
