#include "core/install/recovery.hpp"

#include <fmt/format.h>

#include "core/foundations/diagnostics.hpp"
#include "core/foundations/fileops.hpp"
#include "core/foundations/paths.hpp"
#include "core/install/journal.hpp"
#include "core/install/report_error.hpp"
#include "core/install/rollback.hpp"
#include "platform/fs.hpp"
#include "platform/tree.hpp"

namespace qv {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kTransactions = ".launcher/transactions";
constexpr std::string_view kUnknownVersion = "unknown recovery journal";
constexpr std::string_view kUnknownPhase = "unknown journal phase";
constexpr std::string_view kRecovering = "Recovering interrupted installation";
constexpr std::string_view kCleanupPending = "Cleanup pending: {}";
constexpr std::string_view kRecoverContext = "recover";
constexpr std::string_view kRecoveryContext = "recovery";
constexpr std::string_view kCleanupContext = "cleanup";
constexpr std::string_view kCleanupRetryContext = "cleanup/retry";

void record_and_send(const fs::path& root, const LineSink& sink, std::string_view context, std::string_view text) {
  sink(record_error(root, context, text));
}

Status recover_transaction(const fs::path& root, const fs::path& folder, const LineSink& sink) {
  QV_TRY(reject_reparse_points(folder));
  const fs::path journal_file = folder / kJournalFile;
  if (auto info = platform::lstat_path(journal_file); !info) {
    // A folder without a journal (a check never applied, a self-update) or
    // a plain file; any other failure is not proof that no install is here.
    if (info.error().is_not_found()) return {};
    return std::unexpected(info.error());
  }
  Journal journal = QV_TRY(read_journal(journal_file));
  if (journal.version != kJournalVersion) return fail(std::string(kUnknownVersion));
  const std::string_view phase = journal.phase;
  if (phase == journal_phase::kPrepared || phase == journal_phase::kInstalling) {
    record_and_send(root, sink, kRecoveryContext, kRecovering);
    return rollback(root, folder, journal);
  }
  if (phase == journal_phase::kCommitted || phase == journal_phase::kComplete) {
    journal.phase = journal_phase::kComplete;
    QV_TRY(write_journal(folder, journal));
    if (journal.retain) return {};
    if (auto cleaned = cleanup_transaction(root, folder); !cleaned) {
      record_and_send(root, sink, kCleanupContext,
                      fmt::format(fmt::runtime(kCleanupPending), cleaned.error().to_string()));
    }
    return {};
  }
  if (phase == journal_phase::kRolledBack) return {};
  return fail(std::string(kUnknownPhase));
}

Status recover_all(const fs::path& root, const LineSink& sink) {
  const auto failed_again = QV_TRY(process_cleanup_pending(root));
  for (const std::string& text : failed_again) record_and_send(root, sink, kCleanupRetryContext, text);

  const fs::path transactions = QV_TRY(join_checked(root, kTransactions));
  if (auto info = platform::lstat_path(transactions); !info) {
    if (info.error().is_not_found()) return {};
    return std::unexpected(info.error());
  }
  const auto entries = QV_TRY(platform::list_directory(transactions));
  for (const std::string& name : entries) QV_TRY(recover_transaction(root, transactions / name, sink));
  return {};
}

}  // namespace

Status recover(const fs::path& root, const LineSink& sink) {
  auto recovered = recover_all(root, sink);
  if (!recovered) return std::unexpected(report_error(root, kRecoverContext, std::move(recovered).error()));
  return {};
}

}  // namespace qv
