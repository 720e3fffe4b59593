#include "core/self_update/startup_recovery.hpp"

#include <cstdio>

#include <fmt/format.h>

#include "core/foundations/diagnostics.hpp"
#include "core/foundations/fileops.hpp"
#include "core/foundations/lock.hpp"
#include "core/foundations/paths.hpp"
#include "core/self_update/launcher_swap.hpp"
#include "core/self_update/update_journal.hpp"

namespace qv {
namespace {

constexpr std::string_view kCleanupContext = "self-update cleanup";

void say_on_stderr(std::string_view line) { fmt::print(stderr, "{}\n", line); }

Status recover_locked(const std::filesystem::path& root, bool armed) {
  for (const auto& failure : QV_TRY(process_cleanup_pending(root))) say_on_stderr(failure);
  return visit_self_updates(root, [&](const std::filesystem::path& folder, const UpdateJournal& journal) -> Result<bool> {
    if (journal.phase == self_update_phase::kComplete) {
      if (journal.retain) return false;
      if (auto removed = cleanup_transaction(root, folder); !removed) {
        say_on_stderr(record_error(root, kCleanupContext, removed.error().to_string()));
      }
      return false;
    }
    if (!is_in_flight_phase(journal.phase)) return false;
    QV_TRY(restore_previous_launcher(root, folder, armed));
    UpdateJournal rolled_back = journal;
    rolled_back.phase = self_update_phase::kRolledBack;
    QV_TRY(write_update_journal(folder, rolled_back));
    return false;
  });
}

}  // namespace

Status recover_self_update(const ClientConfig& config) {
  const auto root = QV_TRY(resolve_write_root(config.root));
  auto lock = QV_TRY(acquire_client_lock(root));
  auto result = recover_locked(root, config.allow_loopback_http);
  release_client_lock(std::move(lock));
  return result;
}

}  // namespace qv
