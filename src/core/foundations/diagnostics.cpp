#include "core/foundations/diagnostics.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include <fmt/format.h>

#include "core/foundations/paths.hpp"
#include "platform/clock.hpp"
#include "platform/fs.hpp"
#include "platform/process_info.hpp"

namespace qv {

Status append_error_record(const std::filesystem::path& root, std::string_view context, std::string_view message) {
  const auto canonical_root = QV_TRY(resolve_write_root(root));
  const auto log_path = QV_TRY(join_checked(canonical_root, ".launcher/state/errors.txt"));
  QV_TRY(platform::make_directories(log_path.parent_path()));
  auto fd = QV_TRY(platform::open_fd(log_path, O_RDWR | O_CREAT | O_NOFOLLOW, 0644));
  // An open-file-description lock: threads of one process exclude each other
  // as processes do, and closing the descriptor releases it.
  QV_TRY(platform::lock_whole_file(fd.get(), /*wait=*/true));
  if (::lseek(fd.get(), 0, SEEK_END) < 0) return fail_os(errno);
  const auto millis = QV_TRY(platform::unix_millis());
  const std::string record =
      fmt::format("[UTC unix-ms={} pid={} {}]\n{}\n\n", millis, platform::process_id(), context, message);
  QV_TRY(platform::write_all(fd.get(), record.data(), record.size()));
  if (::fsync(fd.get()) != 0) return fail_os(errno);
  return {};
}

std::string record_error(const std::filesystem::path& root, std::string_view context, std::string_view message) {
  auto appended = append_error_record(root, context, message);
  if (appended) return std::string(message);
  return fmt::format("{}\nCannot write .launcher/state/errors.txt: {}", message, appended.error().to_string());
}

}  // namespace qv
