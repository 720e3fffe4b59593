#include "core/self_update/handoff.hpp"

#include <string>
#include <vector>

#include <fmt/format.h>

#include "core/foundations/fileops.hpp"
#include "core/foundations/paths.hpp"
#include "core/self_update/update_journal.hpp"
#include "platform/fs.hpp"
#include "platform/process_info.hpp"
#include "platform/session_spawn.hpp"

namespace qv {
namespace {

Status start_copy(const std::filesystem::path& root, const std::filesystem::path& copy,
                  std::vector<std::string> args) {
  QV_TRY(platform::spawn_in_new_session(copy, args, root));
  return {};
}

}  // namespace

Status spawn_updater(const ClientConfig& config, const std::filesystem::path& config_file,
                     const std::filesystem::path& transaction_dir, std::uint32_t pid) {
  const auto updater = QV_TRY(join_checked(config.root, launcher_path::kUpdater));
  const auto info = platform::stat_path(updater);
  if (!info || info->kind != platform::FileKind::Regular) return fail(std::string(handoff_text::kUpdaterMissing));
  const auto copy = transaction_dir / self_update_file::kRunningUpdater;
  QV_TRY(copy_durable(updater, copy));
  const auto id = transaction_dir.filename().string();
  if (id.empty()) return fail(std::string(handoff_text::kTransactionId));
  return start_copy(config.root, copy,
                    {"--config", config_file.string(), "--transaction", id, "--wait-pid", std::to_string(pid)});
}

Status spawn_recovery_updater(const ClientConfig& config, const std::filesystem::path& config_file) {
  const auto root = QV_TRY(resolve_write_root(config.root));
  const auto folder = QV_TRY(join_checked(root, fmt::format("{}/{}", launcher_path::kTransactions, random_hex_id())));
  QV_TRY(platform::make_directories(folder));
  const auto copy = folder / self_update_file::kRecoveryUpdater;
  QV_TRY(copy_durable(root / launcher_path::kUpdater, copy));
  return start_copy(root, copy,
                    {"--config", config_file.string(), "--recover-only", "yes", "--wait-pid",
                     std::to_string(platform::process_id())});
}

}  // namespace qv
