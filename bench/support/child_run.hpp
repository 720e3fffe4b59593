// Running one side of a benchmark as a child process, so that its time, CPU
// and peak memory are its own.
#pragma once

#include <string>
#include <vector>

namespace qv::bench {

struct ChildRun {
  double seconds = 0;
  double cpu_seconds = 0;  // user and system, the child's waited-for descendants included
  long peak_rss_kib = -1;  // the child's own peak (VmHWM)
  int exit_code = -1;      // 128 + the signal when killed
};

// Starts `args` (args[0] is looked up on PATH) and waits for it, sampling its
// peak resident memory every millisecond. The peak is read from the child's
// own address space, so unlike ru_maxrss it leaves out what this process had
// touched before the child's exec. Throws std::runtime_error when the
// program cannot be started. With `output_file`, the child's standard output
// goes to that file (created or truncated) instead of this process's.
ChildRun run_child(const std::vector<std::string>& args, const std::string& output_file = {});

// The canonical path of the running program, for starting itself in a child
// mode.
std::string self_path();

}  // namespace qv::bench
