#include "core/self_update/launcher_swap.hpp"

#include <fmt/format.h>

#include "core/foundations/failpoint.hpp"
#include "core/foundations/fileops.hpp"
#include "core/foundations/paths.hpp"
#include "core/self_update/update_journal.hpp"
#include "platform/durable.hpp"
#include "platform/fs.hpp"
#include "platform/hard_link.hpp"
#include "platform/tree.hpp"

namespace qv {
namespace {

bool present(const std::filesystem::path& path) { return platform::lstat_path(path).has_value(); }

constexpr std::string_view kRestorePrefix = "Launcher.restore-";
constexpr std::string_view kRejectedName = "Launcher.rejected-{}.exe";

std::filesystem::path rejected_path(const std::filesystem::path& transaction_dir) {
  return transaction_dir / fmt::format(fmt::runtime(kRejectedName), random_hex_id());
}

// Restore copies that a run cut short left behind: each is a whole launcher,
// and a client whose rollback crashes again and again must not fill up.
Status remove_stale_restore_copies(const std::filesystem::path& transaction_dir) {
  for (const auto& name : QV_TRY(platform::list_directory(transaction_dir))) {
    if (!name.starts_with(kRestorePrefix) || name.size() != kRestorePrefix.size() + 36 ||
        !is_hex_id(std::string_view(name).substr(kRestorePrefix.size(), 32)) || !name.ends_with(".exe")) {
      continue;
    }
    const auto path = transaction_dir / name;
    QV_TRY(check_write_target(path));
    QV_TRY(platform::remove_file(path));
  }
  return {};
}

}  // namespace

Status keep_second_name(const std::filesystem::path& source, const std::filesystem::path& destination) {
  QV_TRY(check_write_target(destination));
  QV_TRY(reject_reparse_points(source));
  QV_TRY(reject_reparse_points(destination));
  if (auto linked = platform::hard_link(source, destination); !linked) {
    if (!platform::is_hard_link_unsupported(linked.error())) return linked;
    return copy_durable(source, destination);
  }
  return platform::flush_directory(destination.parent_path());
}

Status install_staged_launcher(const std::filesystem::path& root, const std::filesystem::path& transaction_dir,
                               bool armed) {
  const auto launcher = QV_TRY(join_checked(root, launcher_path::kLauncher));
  if (present(launcher)) {
    QV_TRY(keep_second_name(launcher, transaction_dir / self_update_file::kBackup));
  }
  fail_point(armed, "updater-backup-kept");
  QV_TRY(replace_file(transaction_dir / self_update_file::kNewLauncher, launcher));
  fail_point(armed, "updater-launcher-replaced");
  return {};
}

Status restore_previous_launcher(const std::filesystem::path& root, const std::filesystem::path& transaction_dir,
                                 bool armed) {
  const auto backup = transaction_dir / self_update_file::kBackup;
  if (!present(backup)) return {};
  const auto launcher = QV_TRY(join_checked(root, launcher_path::kLauncher));
  // The copy comes first: until it is on disk the current Launcher.exe stays
  // where it is, so a crash here never leaves the root without a launcher.
  QV_TRY(remove_stale_restore_copies(transaction_dir));
  const auto restore = transaction_dir / fmt::format("{}{}.exe", kRestorePrefix, random_hex_id());
  QV_TRY(copy_durable(backup, restore));
  fail_point(armed, "restore-copied");
  if (present(launcher)) {
    QV_TRY(keep_second_name(launcher, rejected_path(transaction_dir)));
  }
  fail_point(armed, "restore-set-aside");
  return replace_file(restore, launcher);
}

Result<std::optional<std::filesystem::path>> set_aside_new_launcher(const std::filesystem::path& root,
                                                                    const std::filesystem::path& transaction_dir) {
  const auto launcher = QV_TRY(join_checked(root, launcher_path::kLauncher));
  if (!present(launcher)) return std::nullopt;
  const auto aside = rejected_path(transaction_dir);
  QV_TRY(replace_file(launcher, aside));
  return aside;
}

}  // namespace qv
