// Applies a whole release from the loopback server with the engine driver
// (check, then apply: four download threads, verification, install with
// fsync, post-install hashing, journal) and, in the same run and on the same
// data, lets the command-line tools do that work one after the other: curl
// fetching every object, zstd -d of the objects' plain frames, and the hash
// tool of the release's digest over the result. Two cases: a release onto an
// empty client, then the next release, with a tenth of its files changed,
// onto the client the first case made. Beside them it prints the tools' time
// with a final sync of their output (the durable comparison, since the apply
// flushes what it installs) and the disk's own time to write and flush as
// many bytes (dd conv=fsync), with the apply's ratio to each.
//
//   apply_bench [--size-mib N] [--files F] [--changed-percent P] [--algorithm NAME] [--dir DIR] [--keep]
//
// N defaults to 2048 (2 GiB of file content), F to 2000, P to 10, NAME to
// sha256 (blake3, xxh64, xxh3-64 and xxh3-128 use b3sum and xxhsum). The
// files go into a new folder of the benchmark's own inside DIR (default: the
// system's temporary folder), removed at the end unless --keep; nothing else
// in DIR is touched. File sizes are mixed: seven in ten between 1 KiB and
// 128 KiB (a few empty), a quarter between 128 KiB and 4 MiB, and the rest
// share what is left of N. Every program runs as a child process, so its
// time, CPU and peak memory are its own; all data is in the page cache.
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "core/foundations/hashing.hpp"
#include "core/foundations/progress.hpp"
#include "support/child_run.hpp"
#include "support/loopback_server.hpp"
#include "support/object_builder.hpp"
#include "support/release_builder.hpp"
#include "support/temp_dir.hpp"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using qv::bench::ChildRun;
using qv::bench::run_child;

struct Settings {
  std::uint64_t size_mib = 2048;
  std::size_t files = 2000;
  unsigned changed_percent = 10;
  std::string algorithm = "sha256";
  fs::path parent = fs::temp_directory_path();
  bool keep = false;
};

// The hash tool a user would check the files of a release with.
std::vector<std::string> hash_tool(const std::string& algorithm) {
  if (algorithm == "sha256") return {"sha256sum"};
  if (algorithm == "blake3") return {"b3sum"};
  if (algorithm == "xxh64") return {"xxhsum", "-H64"};
  if (algorithm == "xxh3-64") return {"xxhsum", "-H3"};
  if (algorithm == "xxh3-128") return {"xxhsum", "-H128"};
  throw std::runtime_error("no hash tool for " + algorithm);
}

// Mixed file sizes summing to `total` bytes, the same for every run.
std::vector<std::uint64_t> file_sizes(std::uint64_t total, std::size_t count) {
  std::mt19937_64 random(20240611);
  auto log_uniform = [&](double low, double high) {
    std::uniform_real_distribution<double> u(std::log(low), std::log(high));
    return static_cast<std::uint64_t>(std::exp(u(random)));
  };
  std::vector<std::uint64_t> sizes(count);
  const std::size_t small = count * 7 / 10;
  const std::size_t medium = count / 4;
  std::uint64_t used = 0;
  for (std::size_t i = 0; i < small + medium && i < count; ++i) {
    sizes[i] = i < small ? (i % 100 == 99 ? 0 : log_uniform(1024, 131072)) : log_uniform(131072, 4194304);
    used += sizes[i];
  }
  // The large files share the rest by random weights.
  const std::size_t large = count - std::min(count, small + medium);
  if (used > total || large == 0) {
    throw std::runtime_error("the small and medium files alone exceed the size; give more MiB or fewer files");
  }
  std::vector<double> weights(large);
  double weight_sum = 0;
  for (auto& w : weights) weight_sum += (w = std::uniform_real_distribution<double>(0.2, 1.8)(random));
  std::uint64_t left = total - used;
  for (std::size_t k = 0; k < large; ++k) {
    const std::uint64_t share =
        k + 1 == large ? left : static_cast<std::uint64_t>(static_cast<double>(total - used) * weights[k] / weight_sum);
    sizes[small + medium + k] = std::min(share, left);
    left -= sizes[small + medium + k];
  }
  // Mix the kinds through the folders.
  std::shuffle(sizes.begin(), sizes.end(), random);
  return sizes;
}

struct ReleaseFile {
  std::string path;
  std::uint64_t size = 0;
  std::uint64_t content_seed = 0;  // which bytes the file holds
};

// Builds the objects of `files` (indices `which`) into `publish` and their
// plain frames into `frames`/{index}.zst, on every processor at once. Entry
// `i` of the result belongs to files[i]; the others stay empty.
void build_objects(const std::vector<ReleaseFile>& files, const std::vector<std::size_t>& which, const fs::path& publish,
                   const fs::path& frames, const std::string& algorithm, std::vector<qv::FileEntry>& entries,
                   std::uint64_t seed_base) {
  std::atomic<std::size_t> next{0};
  std::atomic<bool> failed{false};
  std::string failure;
  std::mutex failure_mutex;
  auto work = [&] {
    for (std::size_t k; !failed && (k = next++) < which.size();) {
      const std::size_t i = which[k];
      try {
        std::ofstream frame_out(frames / fmt::format("{}.zst", i), std::ios::binary | std::ios::trunc);
        qv::test::ObjectOptions options;
        options.path = files[i].path;
        options.algorithm = *qv::parse_hash_algorithm(algorithm);
        options.seed = seed_base + i;
        options.on_stream = [&](std::span<const std::byte> bytes) {
          frame_out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        };
        const fs::path scratch = publish / fmt::format("building-{}.qvp", options.seed);
        auto built = qv::test::build_object(scratch, qv::test::pattern_source(files[i].size, files[i].content_seed),
                                            options);
        fs::create_directories((publish / built.entry.object).parent_path());
        fs::rename(scratch, publish / built.entry.object);
        entries[i] = std::move(built.entry);
        if (!frame_out) throw std::runtime_error("cannot write the frames of " + files[i].path);
      } catch (const std::exception& e) {
        std::lock_guard lock(failure_mutex);
        failure = e.what();
        failed = true;
      }
    }
  };
  std::vector<std::thread> threads;
  for (unsigned t = 0; t < std::max(1u, std::thread::hardware_concurrency()); ++t) threads.emplace_back(work);
  for (auto& thread : threads) thread.join();
  if (failed) throw std::runtime_error(failure);
}

void write_release(const qv::test::ReleaseKeys& keys, const std::vector<qv::FileEntry>& entries, std::uint64_t number,
                   const fs::path& envelope) {
  qv::Manifest manifest = qv::test::test_manifest(entries, number);
  manifest.game_exe = entries.front().path;
  const auto bytes = qv::test::manifest_envelope(keys, manifest);
  std::ofstream out(envelope, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + envelope.string());
}

// The line that follows `tag` in a driver's output.
std::string line_after(const std::string& output, const std::string& tag) {
  const auto at = output.find(tag);
  if (at == std::string::npos) throw std::runtime_error("the driver did not say \"" + tag + "\"");
  return output.substr(at + tag.size(), output.find('\n', at) - at - tag.size());
}

void require(const ChildRun& run, const std::string& what) {
  if (run.exit_code != 0) throw std::runtime_error(fmt::format("{} failed with exit code {}", what, run.exit_code));
}

// When each stage's first progress line arrived, from the apply's output.
struct StageClock {
  // The detail of the install's records for the verification of the installed
  // files, which follows the installs.
  static constexpr std::string_view kVerifyDetail = "ตรวจหลังติดตั้ง";
  Clock::time_point opened;
  std::optional<Clock::time_point> verification;  // its first record
  std::optional<Clock::time_point> verified;      // its last record, before the commit and the cleanup
  std::map<qv::Stage, Clock::time_point> first;
  Clock::time_point last;
  long lines = 0;

  void read(const fs::path& fifo) {
    std::ifstream in(fifo);  // waits for the writer
    opened = last = Clock::now();
    std::string line;
    while (std::getline(in, line)) {
      last = Clock::now();
      ++lines;
      if (const auto progress = qv::parse_progress_line(line)) {
        first.try_emplace(progress->stage, last);
        if (progress->stage == qv::Stage::Apply && progress->detail.starts_with(kVerifyDetail)) {
          if (!verification) verification = last;
          verified = last;
        }
      }
    }
  }

  // Seconds from each stage's start to the next one's.
  void print() const {
    static constexpr std::pair<qv::Stage, const char*> kParts[] = {
        {qv::Stage::Check, "recovery and re-plan"}, {qv::Stage::Download, "downloads"},
        {qv::Stage::Validate, "object verification"}, {qv::Stage::CloseGame, "closing the game"},
        {qv::Stage::Apply, "install and its verification"}, {qv::Stage::Done, "done"}};
    std::string text = "  stages:";
    Clock::time_point from = opened;
    const char* name = "start";
    for (const auto& [stage, label] : kParts) {
      const auto at = first.find(stage);
      if (at == first.end()) continue;
      text += fmt::format(" {} {:.2f} s,", name, std::chrono::duration<double>(at->second - from).count());
      from = at->second;
      name = label;
    }
    text += fmt::format(" {} {:.2f} s", name, std::chrono::duration<double>(last - from).count());
    std::printf("%s\n", text.c_str());
    if (const auto install = first.find(qv::Stage::Apply); install != first.end() && verification) {
      const auto done = first.contains(qv::Stage::Done) ? first.at(qv::Stage::Done) : last;
      std::printf("  of the install: the files %.2f s, their verification and flush %.2f s, "
                  "the commit and the removal of the transaction folder %.2f s\n",
                  std::chrono::duration<double>(*verification - install->second).count(),
                  std::chrono::duration<double>(*verified - *verification).count(),
                  std::chrono::duration<double>(done - *verified).count());
    }
  }
};

struct Case {
  std::string name;
  std::vector<std::size_t> files;  // what the apply installs
  std::uint64_t bytes = 0;         // their plain bytes
  std::uint64_t object_bytes = 0;
};

double mb_per_s(std::uint64_t bytes, double seconds) { return static_cast<double>(bytes) / seconds / 1e6; }
double mib(long kib) { return static_cast<double>(kib) / 1024.0; }

void run_case(const Case& c, const fs::path& dir, const fs::path& config, const std::vector<qv::FileEntry>& entries,
              const std::string& algorithm, qv::test::LoopbackServer& server) {
  std::printf("\n== %s: %zu files, %.1f MiB of files, %.1f MiB of objects\n", c.name.c_str(), c.files.size(),
              static_cast<double>(c.bytes) / 1048576.0, static_cast<double>(c.object_bytes) / 1048576.0);
  std::fflush(stdout);

  // The tools, one after the other: curl, zstd -d, the hash tool.
  const fs::path tools = dir / ("tools-" + c.name);
  fs::create_directories(tools / "objects");
  fs::create_directories(tools / "plain");
  const fs::path curl_config = tools / "curl.conf";
  {
    std::ofstream out(curl_config);
    for (const auto i : c.files) {
      out << "url = \"" << server.url("/" + entries[i].object) << "\"\n";
      out << "output = \"" << (tools / "objects" / fmt::format("{}.qvp", i)).string() << "\"\n";
    }
  }
  const auto curl = run_child({"curl", "-sS", "--http1.1", "--fail", "-K", curl_config.string()});
  require(curl, "curl");
  std::vector<std::string> zstd = {"zstd", "-d", "-q", "-f", "--output-dir-flat", (tools / "plain").string()};
  for (const auto i : c.files) zstd.push_back((dir / "frames" / fmt::format("{}.zst", i)).string());
  const auto unzstd = run_child(zstd);
  require(unzstd, "zstd -d");
  std::vector<std::string> hash = hash_tool(algorithm);
  for (const auto i : c.files) hash.push_back((tools / "plain" / std::to_string(i)).string());
  const auto hashed = run_child(hash, (tools / "digests.txt").string());
  require(hashed, hash.front());
  const double tools_seconds = curl.seconds + unzstd.seconds + hashed.seconds;
  // The durable comparison: the apply flushes what it installs, so the tools'
  // output is flushed too (coreutils sync with names flushes each of them).
  std::vector<std::string> sync_outputs = {"sync"};
  for (const auto i : c.files) {
    sync_outputs.push_back((tools / "objects" / fmt::format("{}.qvp", i)).string());
    sync_outputs.push_back((tools / "plain" / std::to_string(i)).string());
  }
  sync_outputs.push_back((tools / "objects").string());
  sync_outputs.push_back((tools / "plain").string());
  const auto synced = run_child(sync_outputs);
  require(synced, "sync");
  fs::remove_all(tools);

  // The disk's own speed for the same bytes written and flushed, as
  // dd conv=fsync measures it: with the downloads and the object
  // verification, the floor of a crash-safe apply.
  const fs::path disk_file = dir / "disk-speed.bin";
  const std::uint64_t disk_mib = std::max<std::uint64_t>(1, (c.bytes + (1 << 20) - 1) >> 20);
  const auto disk = run_child({"dd", "if=/dev/zero", "of=" + disk_file.string(), "bs=1M",
                               "count=" + std::to_string(disk_mib), "conv=fsync", "status=none"});
  require(disk, "dd");
  fs::remove(disk_file);

  // The engine: a check, then the apply of what it prepared.
  const fs::path check_output = dir / "check.out";
  const auto check = run_child({QV_ENGINE_DRIVER, config.string(), "check"}, check_output.string());
  require(check, "engine_driver check");
  const std::string said = qv::test::read_file(check_output);
  const std::string transaction = line_after(said, "prepared ");
  std::printf("check: %s (%.2f s, peak RSS %.1f MiB)\n", line_after(said, "release ").c_str(), check.seconds,
              mib(check.peak_rss_kib));
  // The apply's lines come through a named pipe, read as they are written,
  // so that each stage's first line dates the start of that part of the work.
  const fs::path apply_output = dir / "apply.fifo";
  if (::mkfifo(apply_output.c_str(), 0600) != 0) throw std::runtime_error("mkfifo failed");
  StageClock stages;
  std::thread reader([&] { stages.read(apply_output); });
  server.clear_requests();
  const auto apply = run_child({QV_ENGINE_DRIVER, config.string(), "apply", "--transaction", transaction},
                               apply_output.string());
  reader.join();
  fs::remove(apply_output);
  require(apply, "engine_driver apply");
  std::uint64_t sent = 0;
  for (const auto& request : server.requests()) sent += request.body_bytes;
  const auto lines = stages.lines;

  std::printf("curl, every object (one process, %zu URLs):  %7.2f s (CPU %6.2f s), peak RSS %6.1f MiB\n",
              c.files.size(), curl.seconds, curl.cpu_seconds, mib(curl.peak_rss_kib));
  std::printf("zstd -d of the frames (one process):       %7.2f s (CPU %6.2f s), peak RSS %6.1f MiB\n",
              unzstd.seconds, unzstd.cpu_seconds, mib(unzstd.peak_rss_kib));
  std::printf("%-41s  %7.2f s (CPU %6.2f s), peak RSS %6.1f MiB\n", (hash.front() + " over the result:").c_str(),
              hashed.seconds, hashed.cpu_seconds, mib(hashed.peak_rss_kib));
  std::printf("tools one after the other:                 %7.2f s, %6.0f MB/s of files\n", tools_seconds,
              mb_per_s(c.bytes, tools_seconds));
  std::printf("  then sync of their output:               %7.2f s; tools durable: %.2f s\n", synced.seconds,
              tools_seconds + synced.seconds);
  std::printf("disk: %llu MiB written and flushed (dd conv=fsync): %.2f s, %.0f MB/s\n",
              static_cast<unsigned long long>(disk_mib), disk.seconds,
              mb_per_s(disk_mib << 20, disk.seconds));
  std::printf("apply (engine_driver, %ld lines out):     %7.2f s (CPU %6.2f s), %6.0f MB/s of files, peak RSS %6.1f MiB\n",
              static_cast<long>(lines), apply.seconds, apply.cpu_seconds, mb_per_s(c.bytes, apply.seconds),
              mib(apply.peak_rss_kib));
  stages.print();
  std::printf("apply / tools: %.2f (goal: below 1); apply / tools durable: %.2f; apply / disk write with flush: "
              "%.2f; peak RSS %.1f MiB (goal: below 64)\n",
              apply.seconds / tools_seconds, apply.seconds / (tools_seconds + synced.seconds),
              apply.seconds / disk.seconds, mib(apply.peak_rss_kib));
  std::printf("object bytes sent to the apply: %llu\n", static_cast<unsigned long long>(sent));
  std::fflush(stdout);
}

int bench(const Settings& settings) {
  if (!qv::parse_hash_algorithm(settings.algorithm)) throw std::runtime_error("unknown algorithm " + settings.algorithm);
  qv::test::TempDir own(settings.parent, "qv-bench-apply-");
  if (settings.keep) own.keep();
  const fs::path dir = own.path();
  const fs::path publish = dir / "publish";
  const fs::path frames = dir / "frames";
  const fs::path root = dir / "client";
  fs::create_directories(publish / "objects");
  fs::create_directories(frames);
  fs::create_directories(root);

  // Release 1, and release 2 with every tenth file (by default) changed.
  const auto sizes = file_sizes(settings.size_mib << 20, settings.files);
  std::vector<ReleaseFile> files(settings.files);
  std::vector<std::size_t> all(settings.files);
  std::vector<std::size_t> changed;
  for (std::size_t i = 0; i < settings.files; ++i) {
    files[i] = {i == 0 ? "bin/game.exe" : fmt::format("data/d{:02}/f{:04}.bin", i % 40, i), sizes[i], i + 1};
    all[i] = i;
    // An empty file cannot change; leaving it out keeps both sides' work the same.
    if (settings.changed_percent > 0 && sizes[i] > 0 &&
        i % (100 / settings.changed_percent) == 100 / settings.changed_percent / 2) {
      changed.push_back(i);
    }
  }
  const auto keys = qv::test::ReleaseKeys::from_seed(1);
  std::printf("making %zu files, %llu MiB, %s digests, in %s\n", settings.files,
              static_cast<unsigned long long>(settings.size_mib), settings.algorithm.c_str(), dir.c_str());
  std::fflush(stdout);
  const auto build_start = Clock::now();
  std::vector<qv::FileEntry> first(settings.files);
  build_objects(files, all, publish, frames, settings.algorithm, first, 1'000'000);
  write_release(keys, first, 1, publish / "manifest-1.qvm");
  std::vector<ReleaseFile> next_files = files;
  for (const auto i : changed) next_files[i].content_seed += 1'000'000;
  std::vector<qv::FileEntry> second = first;
  build_objects(next_files, changed, publish, frames, settings.algorithm, second, 2'000'000);
  write_release(keys, second, 2, publish / "manifest-2.qvm");
  std::printf("objects and frames made in %.1f s\n", std::chrono::duration<double>(Clock::now() - build_start).count());

  qv::test::LoopbackServer server;
  server.serve_folder(publish);
  auto config_for = [&](int release) {
    const fs::path path = dir / fmt::format("launcher-{}.json", release);
    qv::test::write_file(path, qv::test::launcher_json(keys, root, server.url(fmt::format("/manifest-{}.qvm", release)),
                                                       server.url("/")));
    return path;
  };

  Case empty{"onto an empty client", all};
  for (const auto i : all) empty.bytes += first[i].bytes, empty.object_bytes += first[i].object_bytes;
  run_case(empty, dir, config_for(1), first, settings.algorithm, server);
  Case update{fmt::format("onto the previous release, {}% changed", settings.changed_percent), changed};
  for (const auto i : changed) update.bytes += second[i].bytes, update.object_bytes += second[i].object_bytes;
  run_case(update, dir, config_for(2), second, settings.algorithm, server);

  if (settings.keep) std::printf("files kept in %s\n", dir.c_str());
  return 0;
}

Settings parse(int argc, char** argv) {
  Settings settings;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw std::runtime_error(arg + " needs a value");
      return argv[++i];
    };
    if (arg == "--size-mib") {
      settings.size_mib = std::stoull(value());
    } else if (arg == "--files") {
      settings.files = std::stoull(value());
    } else if (arg == "--changed-percent") {
      settings.changed_percent = static_cast<unsigned>(std::stoul(value()));
    } else if (arg == "--algorithm") {
      settings.algorithm = value();
    } else if (arg == "--dir") {
      settings.parent = value();
    } else if (arg == "--keep") {
      settings.keep = true;
    } else {
      throw std::runtime_error("unknown argument " + arg);
    }
  }
  if (settings.files == 0) throw std::runtime_error("--files must be at least 1");
  if (settings.changed_percent > 100) throw std::runtime_error("--changed-percent is at most 100");
  return settings;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return bench(parse(argc, argv));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "apply_bench: %s\n", e.what());
    return 1;
  }
}
