#include "platform/append_file.hpp"

#include <fcntl.h>

#include "platform/fs.hpp"

namespace qv::platform {

Result<UniqueFd> open_for_append(const std::filesystem::path& path, unsigned mode) {
  return open_fd(path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW, mode);
}

}  // namespace qv::platform
