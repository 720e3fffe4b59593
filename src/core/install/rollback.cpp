#include "core/install/rollback.hpp"

#include <fmt/format.h>

#include "core/foundations/fileops.hpp"
#include "core/foundations/paths.hpp"
#include "core/install/installed_state.hpp"
#include "platform/fs.hpp"
#include "platform/tree.hpp"

namespace qv {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kPreviousState = "previous-manifest.qvm";
constexpr std::string_view kRejectedFolder = "rejected-{}";
constexpr std::string_view kRejectedState = "rejected-state-{}.qvm";
constexpr std::string_view kWriteTemporary = "{}.writing";

// Whatever stands at the path itself, a link included.
bool entry_exists(const fs::path& path) { return platform::lstat_path(path).has_value(); }

// Moves `target` into a new `rejected-{id}` folder of the transaction under
// its relative path.
Status set_aside(const fs::path& transaction_dir, std::string_view relative, const fs::path& target) {
  const fs::path folder = transaction_dir / fmt::format(fmt::runtime(kRejectedFolder), random_hex_id());
  const fs::path destination = QV_TRY(join_checked(folder, relative));
  QV_TRY(platform::make_directories(destination.parent_path()));
  return replace_file(target, destination);
}

Status undo_operation(const fs::path& root, const fs::path& transaction_dir, const Operation& operation) {
  QV_TRY(check_reserved_path(operation.path));
  const fs::path target = QV_TRY(resolve_physical_path(root, operation.path));
  const fs::path backup = QV_TRY(join_checked(transaction_dir / "backup", operation.path));
  if (entry_exists(backup)) {
    if (entry_exists(target)) QV_TRY(set_aside(transaction_dir, operation.path, target));
    QV_TRY(platform::make_directories(target.parent_path()));
    return replace_file(backup, target);
  }
  // No backup: with `had_old` the old file was never moved and is still in
  // place; otherwise whatever is there was made by the install.
  if (!operation.had_old && entry_exists(target)) return set_aside(transaction_dir, operation.path, target);
  return {};
}

Status restore_installed_state(const fs::path& root, const fs::path& transaction_dir, const Journal& journal) {
  const fs::path state = QV_TRY(installed_state_path(root));
  if (journal.previous_state) {
    // The copy taken before the install goes back whole, whatever its size:
    // copied to a fresh sibling and flushed, then moved over the state file,
    // so a crash leaves either state and memory stays bounded.
    const fs::path temporary = state.parent_path() / fmt::format(fmt::runtime(kWriteTemporary), random_hex_id());
    QV_TRY(copy_durable(transaction_dir / kPreviousState, temporary));
    auto moved = replace_file(temporary, state);
    // The copy is ours: a move that failed leaves nothing behind in the
    // client's state folder (a crash in between may; it is only a copy).
    if (!moved) (void)platform::remove_tree_no_follow(temporary);
    return moved;
  }
  if (!entry_exists(state)) return {};
  return replace_file(state, transaction_dir / fmt::format(fmt::runtime(kRejectedState), random_hex_id()));
}

}  // namespace

Status rollback(const fs::path& root, const fs::path& transaction_dir, Journal& journal) {
  if (journal.phase != journal_phase::kPrepared && journal.phase != journal_phase::kInstalling) {
    journal.phase = journal_phase::kInstalling;
    QV_TRY(write_journal(transaction_dir, journal));
  }
  for (auto it = journal.operations.rbegin(); it != journal.operations.rend(); ++it) {
    QV_TRY(undo_operation(root, transaction_dir, *it));
  }
  QV_TRY(restore_installed_state(root, transaction_dir, journal));
  journal.phase = journal_phase::kRolledBack;
  return write_journal(transaction_dir, journal);
}

}  // namespace qv
