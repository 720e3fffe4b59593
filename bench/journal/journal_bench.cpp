// Writes and reads back the journal of an install with many operations (the
// pretty journal.json replaced atomically, the compact event line appended
// and flushed), then lets jq parse the very same journal.json in the same run.
//
//   journal_bench [--operations N] [--dir DIR]
//
// N defaults to 200,000 (a release of 100,000 files and 100,000 deletes, the
// largest a manifest may hold). The files go to a fresh folder made inside
// DIR (default: the system's temporary folder), and only that folder is
// removed at the end.
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "core/install/journal.hpp"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double millis(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

// Runs jq over the file; the elapsed time, or a negative value without jq.
double run_jq(const fs::path& file) {
  std::vector<std::string> args{"jq", "-c", ".", file.string()};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", 01, 0);
  const auto start = Clock::now();
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, "jq", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  return millis(start, Clock::now());
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t operations = 200'000;
  fs::path base = fs::temp_directory_path();
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    if (arg == "--operations") {
      operations = std::stoul(argv[i + 1]);
    } else if (arg == "--dir") {
      base = argv[i + 1];
    } else {
      std::fprintf(stderr, "usage: journal_bench [--operations N] [--dir DIR]\n");
      return 2;
    }
  }
  std::string pattern = (base / "qv-bench-journal-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const fs::path dir = pattern;

  qv::Journal journal{1, "installing", true, {}, false};
  journal.operations.reserve(operations);
  for (std::size_t i = 0; i < operations; ++i) {
    journal.operations.push_back({fmt::format("data/archive{:04}/file-{:06}.pak", i / 100, i), true, i % 2 == 1});
  }
  const auto t0 = Clock::now();
  auto written = qv::write_journal(dir, journal);
  const auto t1 = Clock::now();
  auto read = qv::read_journal(dir / "journal.json");
  const auto t2 = Clock::now();
  int code = 0;
  if (!written || !read || *read != journal) {
    std::fprintf(stderr, "journal did not come back: %s\n",
                 !written ? written.error().to_string().c_str()
                 : !read  ? read.error().to_string().c_str()
                          : "different content");
    code = 1;
  } else {
    const auto bytes = fs::file_size(dir / "journal.json");
    std::printf("%zu operations, journal.json %.1f MiB\n", operations, static_cast<double>(bytes) / 1048576.0);
    std::printf("write_journal  %8.1f ms (pretty file replaced, compact line appended, both flushed)\n",
                millis(t0, t1));
    std::printf("read_journal   %8.1f ms\n", millis(t1, t2));
    const double jq = run_jq(dir / "journal.json");
    if (jq >= 0) {
      std::printf("jq -c .        %8.1f ms\n", jq);
    } else {
      std::printf("jq -c .        (jq not found)\n");
    }
  }
  std::error_code ec;
  fs::remove_all(dir, ec);
  return code;
}
