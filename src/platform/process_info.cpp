#include "platform/process_info.hpp"

#include <unistd.h>

#include <cerrno>

#include "platform/fs.hpp"

namespace qv::platform {

std::vector<std::string> process_arguments() {
  // The kernel keeps the argument block NUL-separated; 4 MiB is far above the
  // largest argument list exec accepts on a default system.
  auto raw = read_small_file("/proc/self/cmdline", std::size_t{4} << 20);
  std::vector<std::string> args;
  if (!raw) return args;
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

unsigned long process_id() { return static_cast<unsigned long>(::getpid()); }

}  // namespace qv::platform
