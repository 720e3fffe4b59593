#include "platform/hard_link.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace qv::platform {

Status hard_link(const std::filesystem::path& existing, const std::filesystem::path& new_name) {
  if (::linkat(AT_FDCWD, existing.c_str(), AT_FDCWD, new_name.c_str(), 0) != 0) return fail_os(errno);
  return {};
}

bool is_hard_link_unsupported(const Error& error) {
  const auto code = error.os_code();
  return code && (*code == EXDEV || *code == EPERM || *code == EMLINK || *code == EOPNOTSUPP);
}

}  // namespace qv::platform
