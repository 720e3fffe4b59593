#include "platform/process_info.hpp"

#include <unistd.h>

#include <cerrno>

#include "platform/fs.hpp"

namespace qv::platform {
namespace {

// What the process was started with, captured before main runs: the C library
// hands argc/argv to every start-up function of the executable. The argument
// block from the kernel is read first at each call; these copies serve when it
// cannot be read (no /proc), and the executable's path is kept as it was at
// start, because the link in /proc follows a later rename or deletion of the
// program file (a self-update moves it aside while it runs).
std::vector<std::string>& startup_arguments() {
  static std::vector<std::string> args;
  return args;
}
std::string& startup_executable() {
  static std::string path;
  return path;
}

Result<std::filesystem::path> read_exe_link() {
  std::string buffer(256, '\0');
  for (;;) {
    ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return fail_os(errno);
    if (static_cast<std::size_t>(n) < buffer.size()) {
      buffer.resize(static_cast<std::size_t>(n));
      return std::filesystem::path(buffer);
    }
    if (buffer.size() > (std::size_t{1} << 20)) return fail_os(ENAMETOOLONG);
    buffer.resize(buffer.size() * 2);
  }
}

void capture_startup(int argc, char** argv, char**) {
  auto& args = startup_arguments();
  for (int i = 0; i < argc && argv != nullptr && argv[i] != nullptr; ++i) args.emplace_back(argv[i]);
  if (auto exe = read_exe_link()) startup_executable() = exe->string();
}

__attribute__((section(".init_array"), used)) void (*const capture_startup_entry)(int, char**, char**) =
    &capture_startup;

}  // namespace

std::vector<std::string> process_arguments() {
  // The kernel keeps the argument block NUL-separated; 4 MiB is far above the
  // largest argument list exec accepts on a default system.
  auto raw = read_small_file("/proc/self/cmdline", std::size_t{4} << 20);
  if (!raw) return startup_arguments();
  std::vector<std::string> args;
  std::size_t start = 0;
  while (start < raw->size()) {
    std::size_t end = raw->find('\0', start);
    if (end == std::string::npos) end = raw->size();
    args.emplace_back(raw->substr(start, end - start));
    start = end + 1;
  }
  return args;
}

Result<std::filesystem::path> executable_path() {
  if (!startup_executable().empty()) return std::filesystem::path(startup_executable());
  return read_exe_link();
}

unsigned long process_id() { return static_cast<unsigned long>(::getpid()); }

}  // namespace qv::platform
