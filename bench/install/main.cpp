// Installs one large client file from its content object (verify, decrypt,
// decompress, hash, write, flush) and, in the same run, lets the zstd tool
// decompress the very same frames to a file, then prints both throughputs and
// the peak memory of each.
//
//   bench_install [--size-mib N] [--level L] [--algorithm NAME] [--runs R] [--dir DIR] [--keep]
//
// N defaults to 1024 (1 GiB of file content), L to 3, NAME to sha256, R to 3
// (the two sides take turns; each figure is the best run), DIR to the
// system's temporary folder. The files go into a new folder of the
// benchmark's own inside DIR, which is removed afterwards (unless --keep);
// nothing else in DIR is touched. Each side runs in a child process so that
// its peak resident memory is its own; the object is made first and is in
// the page cache for both.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/formats/pack.hpp"
#include "core/foundations/hashing.hpp"
#include "support/child_run.hpp"
#include "support/object_builder.hpp"
#include "support/temp_dir.hpp"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string hex(std::span<const std::uint8_t> bytes) { return qv::to_hex(bytes); }

std::vector<std::uint8_t> unhex(std::string_view text) {
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(std::stoul(std::string(text.substr(i, 2)), nullptr, 16)));
  }
  return out;
}

// The child side: install one object with the entry given on the command line.
int child_install(char** argv) {
  qv::FileEntry entry;
  const fs::path object = argv[0];
  const fs::path target = argv[1];
  entry.path = "bench/file.bin";
  entry.bytes = std::stoull(argv[2]);
  entry.algorithm = qv::parse_hash_algorithm(argv[3]).value();
  entry.digest = argv[4];
  entry.object_bytes = std::stoull(argv[5]);
  entry.object_sha256 = argv[6];
  const auto key = unhex(argv[7]);
  const auto nonce = unhex(argv[8]);
  std::copy(key.begin(), key.end(), entry.key.begin());
  std::copy(nonce.begin(), nonce.end(), entry.nonce.begin());
  const auto status = qv::install_object(object, target, entry, qv::pack::kMaxWindowLog,
                                         [](std::uint64_t) { return qv::Status{}; });
  if (!status) {
    std::fprintf(stderr, "install failed: %s\n", status.error().to_string().c_str());
    return 1;
  }
  return 0;
}

double mb_per_s(std::uint64_t bytes, double seconds) { return static_cast<double>(bytes) / seconds / 1e6; }

// Flushes the whole file system that holds `folder`.
void settle_file_system(const fs::path& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0 || ::syncfs(fd) != 0) throw std::runtime_error("cannot flush the file system of " + folder.string());
  ::close(fd);
}

void flush_file(const fs::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 || ::fsync(fd) != 0) throw std::runtime_error("cannot flush " + path.string());
  ::close(fd);
}

int bench(int argc, char** argv) {
  std::uint64_t size_mib = 1024;
  int level = 3;
  std::string algorithm = "sha256";
  fs::path parent = fs::temp_directory_path();
  bool keep = false;
  int runs = 3;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw std::runtime_error(arg + " needs a value");
      return argv[++i];
    };
    if (arg == "--size-mib") {
      size_mib = std::stoull(value());
    } else if (arg == "--level") {
      level = std::stoi(value());
    } else if (arg == "--algorithm") {
      algorithm = value();
    } else if (arg == "--dir") {
      parent = value();
    } else if (arg == "--runs") {
      runs = std::max(1, std::stoi(value()));
    } else if (arg == "--keep") {
      keep = true;
    } else {
      throw std::runtime_error("unknown argument " + arg);
    }
  }
  if (!qv::parse_hash_algorithm(algorithm)) throw std::runtime_error("unknown algorithm " + algorithm);
  qv::test::TempDir own(parent, "qv-bench-install-");
  if (keep) own.keep();
  const fs::path dir = own.path();
  const fs::path object = dir / "object.qvp";
  const fs::path frames = dir / "frames.zst";
  const fs::path installed = dir / "installed.bin";
  const fs::path decompressed = dir / "decompressed.bin";

  const std::uint64_t size = size_mib * 1024 * 1024;
  std::printf("making a %llu MiB file's object at zstd level %d (%s digest) in %s\n",
              static_cast<unsigned long long>(size_mib), level, algorithm.c_str(), dir.c_str());
  std::ofstream frames_out(frames, std::ios::binary | std::ios::trunc);
  qv::test::ObjectOptions options;
  options.zstd_level = level;
  options.algorithm = *qv::parse_hash_algorithm(algorithm);
  options.on_stream = [&](std::span<const std::byte> bytes) {
    frames_out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  };
  const auto build_start = Clock::now();
  const auto built = qv::test::build_object(object, qv::test::pattern_source(size), options);
  frames_out.close();
  const double build_seconds = std::chrono::duration<double>(Clock::now() - build_start).count();
  const auto& entry = built.entry;
  std::printf("object: %llu bytes (%llu segments), frames %llu bytes, made in %.2f s\n",
              static_cast<unsigned long long>(entry.object_bytes), static_cast<unsigned long long>(built.segments),
              static_cast<unsigned long long>(built.stream_bytes), build_seconds);

  // The stored-object check is the first step of an install; timed alone it
  // shows how much of the install goes to the SHA-256 pass over the object.
  const auto verify_start = Clock::now();
  if (!qv::verify_object_file(object, entry)) throw std::runtime_error("object does not verify");
  const double verify_seconds = std::chrono::duration<double>(Clock::now() - verify_start).count();

  const std::string self = qv::bench::self_path();
  // The two sides take turns, so that both meet the same background load;
  // each figure is the best of the runs.
  qv::bench::ChildRun install;
  qv::bench::ChildRun zstd;
  double zstd_durable_seconds = 0;  // the best of zstd -d and its fsync together
  for (int run = 0; run < runs; ++run) {
    // The outputs of the run before are removed, and the file system made to
    // finish with them (its journal, the discards of their blocks) before
    // either side is timed.
    fs::remove(installed);
    fs::remove(decompressed);
    settle_file_system(dir);
    const auto ours = qv::bench::run_child({self, "--child-install", object.string(), installed.string(),
                                            std::to_string(entry.bytes), algorithm, entry.digest,
                                            std::to_string(entry.object_bytes), entry.object_sha256, hex(entry.key),
                                            hex(entry.nonce)});
    if (ours.exit_code != 0) throw std::runtime_error("install failed");
    if (run == 0 || ours.seconds < install.seconds) install = ours;

    settle_file_system(dir);
    const auto theirs = qv::bench::run_child({"zstd", "-d", "-q", "-f", frames.string(), "-o", decompressed.string()});
    if (theirs.exit_code != 0) throw std::runtime_error("zstd -d failed");
    const auto flush_start = Clock::now();
    flush_file(decompressed);
    const double flushed = std::chrono::duration<double>(Clock::now() - flush_start).count();
    if (run == 0 || theirs.seconds < zstd.seconds) zstd = theirs;
    if (run == 0 || theirs.seconds + flushed < zstd_durable_seconds) zstd_durable_seconds = theirs.seconds + flushed;
    if (fs::file_size(installed) != size || fs::file_size(decompressed) != size) {
      throw std::runtime_error("output sizes differ from the file size");
    }
  }

  std::printf("\nfile bytes: %llu; MB = 10^6 bytes of file content; best of %d runs, taking turns\n",
              static_cast<unsigned long long>(size), runs);
  std::printf("install_object (verify, decrypt, decompress, %s, write, fsync): %.2f s (CPU %.2f s), %.0f MB/s, peak RSS %ld KiB\n",
              algorithm.c_str(), install.seconds, install.cpu_seconds, mb_per_s(size, install.seconds),
              install.peak_rss_kib);
  std::printf("  verify_object_file alone (the SHA-256 of the object, made during the install's read): %.2f s\n",
              verify_seconds);
  std::printf("zstd -d to a file:                                   %.2f s (CPU %.2f s), %.0f MB/s, peak RSS %ld KiB\n",
              zstd.seconds, zstd.cpu_seconds, mb_per_s(size, zstd.seconds), zstd.peak_rss_kib);
  std::printf("zstd -d to a file, then fsync:                       %.2f s, %.0f MB/s\n",
              zstd_durable_seconds, mb_per_s(size, zstd_durable_seconds));
  std::printf("install_object / zstd -d: %.2f; against zstd -d then fsync (the same durable work): %.2f (goal: 1 or more)\n",
              zstd.seconds / install.seconds, zstd_durable_seconds / install.seconds);

  if (keep) std::printf("files kept in %s\n", dir.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    if (argc == 11 && std::strcmp(argv[1], "--child-install") == 0) return child_install(argv + 2);
    return bench(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_install: %s\n", e.what());
    return 1;
  }
}
