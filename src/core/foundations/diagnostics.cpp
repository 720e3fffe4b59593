#include "core/foundations/diagnostics.hpp"

#include <fmt/format.h>

#include "core/foundations/fileops.hpp"
#include "core/foundations/paths.hpp"
#include "platform/clock.hpp"
#include "platform/durable.hpp"
#include "platform/fs.hpp"
#include "platform/process_info.hpp"

namespace qv {

Status append_error_record(const std::filesystem::path& root, std::string_view context, std::string_view message) {
  const auto canonical_root = QV_TRY(resolve_write_root(root));
  const auto log_path = QV_TRY(join_checked(canonical_root, ".launcher/state/errors.txt"));
  // The folder is resolved once, so the record lands in the client's own log
  // even if a folder on the way is exchanged for a link meanwhile.
  const auto log = QV_TRY(open_entry_folder(log_path, /*create=*/true));
  auto file = QV_TRY(log.folder.open_for_append(log.name, 0644));
  // An open-file-description lock: threads of one process exclude each other
  // as processes do, and closing the descriptor releases it. Appending, every
  // write lands at the end of what the last holder left.
  QV_TRY(platform::lock_whole_file(file.fd.get(), /*wait=*/true));
  const auto millis = QV_TRY(platform::unix_millis());
  const std::string record =
      fmt::format("[UTC unix-ms={} pid={} {}]\n{}\n\n", millis, platform::process_id(), context, message);
  QV_TRY(platform::write_all(file.fd.get(), record.data(), record.size()));
  QV_TRY(platform::flush_fd(file.fd.get()));
  // The first record made the file: its folder entry must reach the disk too.
  if (file.created) QV_TRY(log.folder.flush());
  return {};
}

std::string record_error(const std::filesystem::path& root, std::string_view context, std::string_view message) {
  auto appended = append_error_record(root, context, message);
  if (appended) return std::string(message);
  return fmt::format("{}\nCannot write .launcher/state/errors.txt: {}", message, appended.error().to_string());
}

}  // namespace qv
