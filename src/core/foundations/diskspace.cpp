#include "core/foundations/diskspace.hpp"

#include <fmt/format.h>

#include "platform/disk_space.hpp"

namespace qv {
namespace {

constexpr const char* kQueryFailed = "disk space: {}";
constexpr const char* kInsufficient = "insufficient disk: need {} bytes, available {}; no files removed";

}  // namespace

Result<std::uint64_t> free_disk_bytes(const std::filesystem::path& path) {
  auto bytes = platform::available_disk_bytes(path);
  if (!bytes) return fail(fmt::format(fmt::runtime(kQueryFailed), bytes.error().to_string()));
  return *bytes;
}

Status check_disk_space(std::uint64_t needed, std::uint64_t available) {
  if (available < needed) return fail(fmt::format(fmt::runtime(kInsufficient), needed, available));
  return {};
}

Status require_disk_space(const std::filesystem::path& path, std::uint64_t needed) {
  const std::uint64_t available = QV_TRY(free_disk_bytes(path));
  return check_disk_space(needed, available);
}

}  // namespace qv
