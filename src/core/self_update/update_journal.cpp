#include "core/self_update/update_journal.hpp"

#include "core/foundations/paths.hpp"
#include "platform/fs.hpp"
#include "platform/tree.hpp"

namespace qv {

Status visit_self_updates(const std::filesystem::path& root, const SelfUpdateVisitor& visit) {
  const auto transactions = QV_TRY(join_checked(root, launcher_path::kTransactions));
  if (!platform::stat_path(transactions)) return {};
  const auto names = QV_TRY(platform::list_directory(transactions));
  for (const auto& name : names) {
    const auto entry = transactions / name;
    QV_TRY(reject_reparse_points(entry));
    // Entries are not tested for being folders: a plain file has no journal
    // below it (ENOTDIR) and is passed over like an install transaction. Any
    // other failure to look at the journal is no proof that there is none:
    // an update in flight behind it must not be taken for none.
    if (auto info = platform::stat_path(entry / self_update_file::kJournal); !info) {
      if (info.error().is_not_found()) continue;
      return std::unexpected(info.error());
    }
    const auto journal = QV_TRY(read_update_journal(entry));
    if (QV_TRY(visit(entry, journal))) break;
  }
  return {};
}

Result<bool> find_inflight_self_update(const ClientConfig& config) {
  const auto root = QV_TRY(resolve_write_root(config.root));
  bool in_flight = false;
  QV_TRY(visit_self_updates(root, [&](const std::filesystem::path&, const UpdateJournal& journal) -> Result<bool> {
    in_flight = is_in_flight_phase(journal.phase);
    return in_flight;
  }));
  return in_flight;
}

}  // namespace qv
