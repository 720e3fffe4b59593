#include "core/install/reclaim.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "core/foundations/diagnostics.hpp"
#include "core/foundations/fileops.hpp"
#include "core/foundations/paths.hpp"
#include "core/install/transaction_state.hpp"
#include "core/install/update_journal_record.hpp"
#include "platform/folder.hpp"

namespace qv {
namespace {

namespace fs = std::filesystem;

using launcher_path::kTransactions;
constexpr std::string_view kCleanupContext = "cleanup";
constexpr std::string_view kReclaimed = "Reclaimed settled transactions: {}";
constexpr std::string_view kCleanupPending = "Cleanup pending: {}";

bool is_folder(const platform::Folder& transactions, const platform::FolderEntry& entry) {
  if (entry.kind) return *entry.kind == platform::FileKind::Directory;
  const auto info = transactions.entry_info(entry.name);
  return info && info->kind == platform::FileKind::Directory;
}

}  // namespace

void reclaim_settled_transactions(const fs::path& root, const fs::path& own, const LineSink& sink) {
  const auto pending = [&](const Error& error) {
    sink(record_error(root, kCleanupContext, fmt::format(fmt::runtime(kCleanupPending), error.to_string())));
  };
  std::vector<std::string> removed;
  const Status walked = [&]() -> Status {
    const fs::path path = QV_TRY(join_checked(root, kTransactions));
    auto transactions = platform::open_folder(path);
    if (!transactions) {
      if (transactions.error().is_not_found()) return {};
      return std::unexpected(transactions.error());
    }
    for (const auto& entry : QV_TRY(transactions->entries())) {
      if (!is_hex_id(entry.name) || entry.name == own.filename() || !is_folder(*transactions, entry)) continue;
      const fs::path folder = path / entry.name;
      if (!is_settled_transaction(folder)) continue;
      if (auto cleaned = cleanup_transaction(root, folder); !cleaned) {
        pending(cleaned.error());
      } else {
        removed.push_back(entry.name);
      }
    }
    return {};
  }();
  if (!removed.empty()) {
    (void)record_error(root, kCleanupContext, fmt::format(fmt::runtime(kReclaimed), fmt::join(removed, ", ")));
  }
  if (!walked) pending(walked.error());
}

}  // namespace qv
