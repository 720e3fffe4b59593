// Plans a generated client of many files with build_plan, in a quick check
// and in a full check for each content-hash algorithm, and in the same run
// lets the command-line tool for that algorithm hash the very same files
// through `xargs -P $(nproc)`, then prints the throughput and peak memory of
// both sides.
//
//   plan_bench [--files N] [--total-mib M] [--algorithms LIST] [--runs R]
//              [--threads T] [--batch LIST] [--dir FOLDER] [--keep]
//
// N defaults to 10000 files and M to 2048 (2 GiB in all). The --algorithms
// LIST (comma separated) defaults to every algorithm a release may use. R
// defaults to 3: each figure is the best run, the two sides taking turns. T
// defaults to 0: two threads per processor, at most build_plan's maximum. The
// --batch LIST holds the numbers of files per tool invocation to try (xargs
// -n): the tool's figure is its best over all of them; by default 64, 256 and
// one invocation per processor. FOLDER defaults to /dev/shm when it exists
// (so the page cache holds every file), else the system's temporary folder.
// The client goes into a new folder of the benchmark's own inside FOLDER,
// which is removed at the end (unless --keep); nothing else in FOLDER is
// touched. "speed" is build_plan's throughput over the tool's.
//
// Each side runs in a child process. A plan's peak is its own address
// space's; a tool's is the largest process of its tree (xargs and the tool
// invocations). The quick check is given an installed state that vouches for
// every file and must read no file content: it must open no client file
// (watched through inotify). A full check must read at least every byte of
// the client (counted through the plan process's "rchar").
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "core/formats/cbor.hpp"
#include "core/formats/manifest_codec.hpp"
#include "core/foundations/hashing.hpp"
#include "core/install/plan.hpp"
#include "support/child_run.hpp"
#include "support/release_builder.hpp"
#include "support/temp_dir.hpp"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr qv::HashAlgorithm kReleaseAlgorithms[] = {qv::HashAlgorithm::Xxh64, qv::HashAlgorithm::Xxh3_64,
                                                 qv::HashAlgorithm::Xxh3_128, qv::HashAlgorithm::Blake3,
                                                 qv::HashAlgorithm::Sha256};

const char* tool_for(qv::HashAlgorithm algorithm) {
  switch (algorithm) {
    case qv::HashAlgorithm::Xxh64: return "xxhsum -H1";
    case qv::HashAlgorithm::Xxh3_64: return "xxhsum -H3";
    case qv::HashAlgorithm::Xxh3_128: return "xxhsum -H2";
    case qv::HashAlgorithm::Blake3: return "b3sum";
    case qv::HashAlgorithm::Sha256: return "sha256sum";
    case qv::HashAlgorithm::Read: break;
  }
  throw std::runtime_error("no tool for this algorithm");
}

std::string name_of(qv::HashAlgorithm algorithm) { return std::string(qv::hash_algorithm_name(algorithm)); }

std::string read_text(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void write_text(const fs::path& path, std::string_view text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

// The bytes this process has read through read(2) and its kind ("rchar"),
// leaving out the reads of these figures themselves.
std::uint64_t bytes_read_so_far() {
  static std::uint64_t own_reads = 0;
  const int fd = ::open("/proc/self/io", O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("cannot open /proc/self/io");
  char buffer[4096];
  const ssize_t n = ::read(fd, buffer, sizeof buffer - 1);
  ::close(fd);
  if (n <= 0) throw std::runtime_error("cannot read /proc/self/io");
  buffer[n] = '\0';
  const char* rchar = std::strstr(buffer, "rchar: ");
  if (rchar == nullptr) throw std::runtime_error("no rchar in /proc/self/io");
  // The figure counts every earlier reading of it, not this one.
  const std::uint64_t result = std::stoull(rchar + 7) - own_reads;
  own_reads += static_cast<std::uint64_t>(n);
  return result;
}

// A figure of /proc/self/status in KiB, such as "VmRSS:" or "VmHWM:".
long status_kib(std::string_view field) {
  std::istringstream lines(read_text("/proc/self/status"));
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with(field)) return std::stol(line.substr(field.size()));
  }
  throw std::runtime_error("no " + std::string(field) + " in /proc/self/status");
}

// The child side of a plan: decodes the release, plans it and writes what it
// found to the result file.
int child_plan(const std::vector<std::string>& args) {
  const fs::path result_file = args.at(0);
  const bool full = args.at(1) == "full";
  const fs::path root = args.at(2);
  const unsigned threads = static_cast<unsigned>(std::stoul(args.at(4)));
  std::optional<qv::Manifest> manifest;
  {
    // Dropped before the plan, as a check drops the downloaded envelope.
    const std::string encoded = read_text(args.at(3));
    qv::CborReader reader(encoded);
    auto decoded = qv::decode_manifest_cbor(reader);
    if (!decoded) throw std::runtime_error("cannot decode the release");
    manifest = std::move(*decoded);
  }
  // The installed state is the release itself: it vouches for every file.
  const std::optional<qv::Manifest> installed = *manifest;

  const long resident_before = status_kib("VmRSS:");
  const std::uint64_t read_before = bytes_read_so_far();
  const auto start = Clock::now();
  auto plan = qv::build_plan(root, *manifest, installed, full, qv::LineSink::discard(), qv::PlanOptions{threads});
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const std::uint64_t content_read = bytes_read_so_far() - read_before;
  if (!plan) {
    std::fprintf(stderr, "build_plan: %s\n", plan.error().to_string().c_str());
    return 1;
  }
  // The plan's own memory: how far the peak rose above what the process
  // held before build_plan (the release's bytes and the two manifests).
  const long peak = status_kib("VmHWM:");
  write_text(result_file, fmt::format("{} {} {} {} {}\n", seconds, plan->download.size(), content_read,
                                      resident_before, std::max(0L, peak - resident_before)));
  return 0;
}

// Runs a shell command and writes the largest peak memory of its whole tree
// to the result file. Started as a fresh program, so that the processes it
// forks start from its own small footprint rather than the benchmark's.
int child_measure_tree(const std::vector<std::string>& args) {
  const fs::path result_file = args.at(0);
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    ::execl("/bin/sh", "sh", "-c", args.at(1).c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int status = 0;
  struct rusage usage {};
  if (::wait4(pid, &status, 0, &usage) != pid) throw std::runtime_error("wait4 failed");
  write_text(result_file, fmt::format("{}\n", usage.ru_maxrss));
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

struct Options {
  std::size_t files = 10000;
  std::uint64_t total_mib = 2048;
  std::vector<qv::HashAlgorithm> algorithms{std::begin(kReleaseAlgorithms), std::end(kReleaseAlgorithms)};
  int runs = 3;
  unsigned threads = 0;
  std::vector<std::size_t> batches;  // empty: the default list
  fs::path dir = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
  bool keep = false;
};

Options parse_options(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--keep") {
      o.keep = true;
      continue;
    }
    if (i + 1 >= argc) throw std::runtime_error("usage: see the top of bench/plan/plan_bench.cpp (" + arg + ")");
    const std::string value = argv[++i];
    if (arg == "--files") {
      o.files = std::stoull(value);
    } else if (arg == "--total-mib") {
      o.total_mib = std::stoull(value);
    } else if (arg == "--algorithms") {
      o.algorithms.clear();
      std::stringstream list(value);
      for (std::string name; std::getline(list, name, ',');) {
        auto algorithm = qv::parse_hash_algorithm(name);
        if (!algorithm || *algorithm == qv::HashAlgorithm::Read) throw std::runtime_error("unknown algorithm " + name);
        o.algorithms.push_back(*algorithm);
      }
    } else if (arg == "--runs") {
      o.runs = std::max(1, std::stoi(value));
    } else if (arg == "--threads") {
      o.threads = static_cast<unsigned>(std::stoul(value));
    } else if (arg == "--batch") {
      std::stringstream list(value);
      for (std::string n; std::getline(list, n, ',');) o.batches.push_back(std::max<std::size_t>(1, std::stoull(n)));
    } else if (arg == "--dir") {
      o.dir = value;
    } else {
      throw std::runtime_error("unknown argument " + arg);
    }
  }
  if (o.files == 0) throw std::runtime_error("--files must be at least 1");
  if (o.batches.empty()) {
    const std::size_t processors = std::max(1u, std::thread::hardware_concurrency());
    o.batches = {64, 256, (o.files + processors - 1) / processors};
  }
  return o;
}

// File sizes like a game client's: most between 1 KiB and 1 MiB (spread
// evenly on a logarithmic scale), one in a thousand a 64 MiB archive, all
// scaled so that they add up to exactly `total` bytes.
std::vector<std::uint64_t> file_sizes(std::size_t count, std::uint64_t total) {
  std::vector<double> raw(count);
  std::uint64_t x = 0x9e3779b97f4a7c15ull;
  double sum = 0;
  for (std::size_t i = 0; i < count; ++i) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    const double u = static_cast<double>(x >> 11) / 9007199254740992.0;
    raw[i] = i % 1000 == 500 ? 64.0 * 1048576 : 1024.0 * std::pow(2.0, 10 * u);
    sum += raw[i];
  }
  std::vector<std::uint64_t> sizes(count);
  std::uint64_t assigned = 0;
  for (std::size_t i = 0; i < count; ++i) {
    sizes[i] = static_cast<std::uint64_t>(raw[i] * static_cast<double>(total) / sum);
    assigned += sizes[i];
  }
  sizes.back() += total - std::min(total, assigned);
  return sizes;
}

struct Client {
  std::vector<std::string> paths;
  std::vector<std::uint64_t> sizes;
  std::vector<std::map<qv::HashAlgorithm, std::string>> digests;
  std::uint64_t total = 0;
};

// Writes the files (incompressible bytes, so no layer below can shortcut a
// read) and computes their digests on the way.
Client make_client(const fs::path& root, const Options& options) {
  Client client;
  client.sizes = file_sizes(options.files, options.total_mib << 20);
  std::vector<std::uint64_t> block(1 << 17);  // 1 MiB
  std::uint64_t x = 0x2545f4914f6cdd1dull;
  for (std::size_t i = 0; i < options.files; ++i) {
    const std::string path = fmt::format("data/{:02}/file-{:05}.bin", i % 100, i);
    fs::create_directories((root / path).parent_path());
    const int fd = ::open((root / path).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) throw std::runtime_error("cannot create " + path + ": " + std::strerror(errno));
    std::vector<qv::ContentHasher> hashers;
    for (auto algorithm : options.algorithms) hashers.push_back(qv::content_hasher_new(algorithm));
    for (std::uint64_t written = 0; written < client.sizes[i];) {
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(client.sizes[i] - written, block.size() * 8));
      // Only the words this piece needs: a client of many small files would
      // otherwise spend most of its making on bytes nobody writes.
      for (std::size_t w = 0; w < (n + 7) / 8; ++w) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        block[w] = x;
      }
      const auto bytes = std::as_bytes(std::span(block)).first(n);
      for (auto& hasher : hashers) qv::content_hasher_update(hasher, bytes);
      if (::write(fd, bytes.data(), n) != static_cast<ssize_t>(n)) throw std::runtime_error("cannot write " + path);
      written += n;
    }
    ::close(fd);
    std::map<qv::HashAlgorithm, std::string> digests;
    for (std::size_t a = 0; a < hashers.size(); ++a) {
      digests[options.algorithms[a]] = qv::content_hasher_finish(std::move(hashers[a]));
    }
    client.paths.push_back(path);
    client.digests.push_back(std::move(digests));
    client.total += client.sizes[i];
  }
  return client;
}

// The release of the client with every digest in `algorithm`, in the fixed
// CBOR form the child decodes.
std::string release_cbor(const Client& client, qv::HashAlgorithm algorithm) {
  qv::Manifest manifest = qv::test::test_manifest();
  for (std::size_t i = 0; i < client.paths.size(); ++i) {
    qv::FileEntry entry;
    entry.path = client.paths[i];
    entry.bytes = client.sizes[i];
    entry.algorithm = algorithm;
    entry.digest = client.digests[i].at(algorithm);
    entry.object = fmt::format("objects/{:032x}.qvp", i);
    entry.object_bytes = client.sizes[i];
    entry.object_sha256 = std::string(64, '0');
    manifest.files.push_back(std::move(entry));
  }
  manifest.game_exe = client.paths.front();
  auto encoded = qv::encode_manifest_cbor(manifest);
  if (!encoded) throw std::runtime_error(encoded.error().to_string());
  return std::string(encoded->begin(), encoded->end());
}

// How many files of the tool's output disagree with the client's digests
// ("HEX  path", or "TAG (path) = HEX" for the tagged form).
std::size_t tool_mismatches(const std::string& output, const Client& client, qv::HashAlgorithm algorithm) {
  std::map<std::string, std::string> printed;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    if (auto open = line.find(" ("), eq = line.rfind(") = "); open != std::string::npos && eq != std::string::npos) {
      printed[line.substr(open + 2, eq - open - 2)] = line.substr(eq + 4);
    } else if (auto gap = line.find("  "); gap != std::string::npos) {
      printed[line.substr(gap + 2)] = line.substr(0, gap);
    }
  }
  std::size_t wrong = 0;
  for (std::size_t i = 0; i < client.paths.size(); ++i) {
    auto it = printed.find(client.paths[i]);
    if (it == printed.end() || it->second != client.digests[i].at(algorithm)) ++wrong;
  }
  return wrong;
}

std::string shell_quote(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Counts the client files that are opened or read while it watches: a check
// that reads no file content opens none. The kernel reports each event of a
// watched folder's files; folders are not watched for their own opening.
class FileOpenWatch {
 public:
  explicit FileOpenWatch(const fs::path& root) : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    if (fd_ < 0) throw std::runtime_error("inotify_init1 failed");
    watch(root);
    for (const auto& item : fs::recursive_directory_iterator(root)) {
      if (item.is_directory()) watch(item.path());
    }
  }
  ~FileOpenWatch() { ::close(fd_); }
  FileOpenWatch(const FileOpenWatch&) = delete;
  FileOpenWatch& operator=(const FileOpenWatch&) = delete;

  // The events on files since the watch began (or the last call).
  std::size_t file_events() {
    std::size_t count = 0;
    alignas(inotify_event) char buffer[64 * 1024];
    for (;;) {
      const ssize_t n = ::read(fd_, buffer, sizeof buffer);
      if (n <= 0) return count;
      for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        if ((event->mask & IN_Q_OVERFLOW) != 0) throw std::runtime_error("too many file events to count");
        if ((event->mask & IN_ISDIR) == 0) ++count;
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
  }

 private:
  void watch(const fs::path& folder) {
    if (::inotify_add_watch(fd_, folder.c_str(), IN_OPEN | IN_ACCESS) < 0) {
      throw std::runtime_error("cannot watch " + folder.string() + " (raise fs.inotify.max_user_watches)");
    }
  }
  int fd_;
};

struct PlanRun {
  double seconds = 0;       // the whole child process, decoding the release included
  double plan_seconds = 0;  // build_plan alone: the figure compared with the tool's whole run
  std::size_t downloads = 0;
  std::uint64_t content_read = 0;
  long peak_rss_kib = 0;
  long before_plan_kib = 0;  // resident before build_plan: the release's bytes and the two manifests
  long plan_own_kib = 0;     // how far build_plan raised the peak above that
};

PlanRun run_plan(const fs::path& work, bool full, const fs::path& root, const fs::path& cbor, unsigned threads) {
  const fs::path result = work / "plan-result.txt";
  const auto run = qv::bench::run_child({qv::bench::self_path(), "--child-plan", result.string(),
                                         full ? "full" : "quick", root.string(), cbor.string(),
                                         std::to_string(threads)});
  if (run.exit_code != 0) throw std::runtime_error("the plan failed");
  PlanRun out;
  std::istringstream(read_text(result)) >> out.plan_seconds >> out.downloads >> out.content_read >>
      out.before_plan_kib >> out.plan_own_kib;
  out.seconds = run.seconds;
  out.peak_rss_kib = run.peak_rss_kib;
  return out;
}

struct ToolRun {
  double seconds = 0;
  long peak_rss_kib = 0;
};

ToolRun run_tool(const fs::path& work, const std::string& command) {
  const fs::path result = work / "tool-result.txt";
  const auto run = qv::bench::run_child({qv::bench::self_path(), "--measure-tree", result.string(), command});
  if (run.exit_code != 0) {
    throw std::runtime_error("the tool failed: " + command + "\n" + read_text(work / "tool-errors.txt"));
  }
  return {run.seconds, std::stol(read_text(result))};
}

double mb_per_s(std::uint64_t bytes, double seconds) { return static_cast<double>(bytes) / seconds / 1e6; }

int bench(const Options& options) {
  qv::test::TempDir own(options.dir, "qv-plan-bench-");
  if (options.keep) own.keep();
  const fs::path work = own.path();
  const fs::path root = work / "client";
  fs::create_directory(root);

  std::printf("making %zu files of %llu MiB in all in %s\n", options.files,
              static_cast<unsigned long long>(options.total_mib), root.c_str());
  const auto make_start = Clock::now();
  const Client client = make_client(root, options);
  std::printf("made in %.1f s; the largest file holds %llu bytes\n",
              std::chrono::duration<double>(Clock::now() - make_start).count(),
              static_cast<unsigned long long>(*std::max_element(client.sizes.begin(), client.sizes.end())));
  std::string list;
  for (const auto& path : client.paths) list += path + '\0';
  write_text(work / "files.list", list);

  // Named here, so that the plan's process need not ask the system for the
  // number of processors while its reads are being counted.
  const unsigned threads = options.threads != 0
                               ? options.threads
                               : std::clamp(2 * std::thread::hardware_concurrency(), 1u, qv::PlanOptions::kMaxThreads);
  std::printf("build_plan threads: %u\n", threads);

  int status = 0;
  const fs::path first_cbor = work / "release-quick.cbor";
  write_text(first_cbor, release_cbor(client, options.algorithms.front()));
  std::size_t quick_file_events = 0;
  PlanRun quick;
  {
    FileOpenWatch watch(root);
    quick = run_plan(work, false, root, first_cbor, threads);
    for (int run = 1; run < options.runs; ++run) {
      const PlanRun again = run_plan(work, false, root, first_cbor, threads);
      if (again.plan_seconds < quick.plan_seconds) quick = again;
    }
    quick_file_events = watch.file_events();
  }
  std::printf("\nquick check (the installed state vouches for every file): build_plan %.3f s (its process %.3f s), "
              "%zu client files opened or read in %d runs, %zu to download, peak RSS %ld KiB (%ld KiB before build_plan, "
              "%ld KiB its own)\n",
              quick.plan_seconds, quick.seconds, quick_file_events, options.runs, quick.downloads, quick.peak_rss_kib,
              quick.before_plan_kib, quick.plan_own_kib);
  if (quick_file_events != 0 || quick.downloads != 0) {
    std::printf("QUICK CHECK READ FILE CONTENT OR PLANNED DOWNLOADS\n");
    status = 1;
  }

  std::string batches;
  for (auto n : options.batches) batches += (batches.empty() ? "" : ", ") + std::to_string(n);
  std::printf("\nfull check over %llu bytes, page cache warm, best of %d; MB = 10^6 bytes; "
              "tools: cd client && xargs -0 -a files.list -P $(nproc) -n K TOOL, best K of %s\n",
              static_cast<unsigned long long>(client.total), options.runs, batches.c_str());
  std::printf("%-9s %10s %10s %7s %14s %14s %14s  %s\n", "algorithm", "build_plan", "tool", "speed", "plan peak RSS",
              "plan's own", "tool peak RSS", "tool");
  for (auto algorithm : options.algorithms) {
    const fs::path cbor = work / ("release-" + name_of(algorithm) + ".cbor");
    write_text(cbor, release_cbor(client, algorithm));
    const std::string tool = tool_for(algorithm);
    // Parallel invocations write into one output at once, which can cut
    // lines, so the timed runs print nowhere and one more run, one
    // invocation at a time and not timed, gives the digests to compare.
    auto timed = [&](std::size_t batch) {
      return fmt::format("cd {} && xargs -0 -a ../files.list -P $(nproc) -n {} {} > /dev/null 2> {}",
                         shell_quote(root.string()), batch, tool, shell_quote((work / "tool-errors.txt").string()));
    };
    const std::string listing = fmt::format("cd {} && xargs -0 -a ../files.list -n 256 {} > {} 2> {}",
                                            shell_quote(root.string()), tool,
                                            shell_quote((work / "tool-output.txt").string()),
                                            shell_quote((work / "tool-errors.txt").string()));
    std::optional<PlanRun> ours;
    std::optional<ToolRun> theirs;
    std::size_t best_batch = 0;
    for (int run = 0; run < options.runs; ++run) {
      // Taking turns, so that both sides meet the same background load.
      const PlanRun plan = run_plan(work, true, root, cbor, threads);
      if (!ours || plan.plan_seconds < ours->plan_seconds) ours = plan;
      for (std::size_t batch : options.batches) {
        const ToolRun measured = run_tool(work, timed(batch));
        if (!theirs || measured.seconds < theirs->seconds) {
          theirs = measured;
          best_batch = batch;
        }
      }
    }
    run_tool(work, listing);
    const std::size_t wrong = tool_mismatches(read_text(work / "tool-output.txt"), client, algorithm);
    std::printf("%-9s %5.0f MB/s %5.0f MB/s %7.2f %10ld KiB %10ld KiB %10ld KiB  %s (K = %zu)\n",
                name_of(algorithm).c_str(), mb_per_s(client.total, ours->plan_seconds),
                mb_per_s(client.total, theirs->seconds), theirs->seconds / ours->plan_seconds, ours->peak_rss_kib,
                ours->plan_own_kib, theirs->peak_rss_kib, tool.c_str(), best_batch);
    if (ours->downloads != 0 || ours->content_read < client.total || wrong != 0) {
      std::printf("  WRONG: build_plan planned %zu downloads after reading %llu bytes; the tool disagreed on %zu files\n",
                  ours->downloads, static_cast<unsigned long long>(ours->content_read), wrong);
      status = 1;
    }
  }
  if (options.keep) std::printf("\nfiles kept in %s\n", work.c_str());
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && args[0] == "--child-plan") return child_plan({args.begin() + 1, args.end()});
    if (!args.empty() && args[0] == "--measure-tree") return child_measure_tree({args.begin() + 1, args.end()});
    return bench(parse_options(argc, argv));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "plan_bench: %s\n", e.what());
    return 1;
  }
}
