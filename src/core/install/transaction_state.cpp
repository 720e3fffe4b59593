#include "core/install/transaction_state.hpp"

#include <string_view>

#include "core/install/journal.hpp"
#include "core/install/update_journal_record.hpp"
#include "platform/fs.hpp"

namespace qv {
namespace {

namespace fs = std::filesystem;

// The journal file is not there at all; anything else (a folder or a link in
// its place, a failure to look) is no proof of that.
bool absent(const fs::path& path) {
  auto info = platform::lstat_path(path);
  return !info && info.error().is_not_found();
}

bool settled_install(const fs::path& folder) {
  const fs::path file = folder / kJournalFile;
  if (absent(file)) return true;
  const auto journal = read_journal(file);
  if (!journal || journal->version != kJournalVersion || journal->retain) return false;
  return journal->phase == journal_phase::kComplete || journal->phase == journal_phase::kRolledBack;
}

bool settled_self_update(const fs::path& folder) {
  if (absent(folder / self_update_file::kJournal)) return true;
  const auto journal = read_update_journal(folder);
  if (!journal || journal->retain) return false;
  return journal->phase == self_update_phase::kComplete || journal->phase == self_update_phase::kRolledBack;
}

}  // namespace

bool is_settled_transaction(const fs::path& folder) { return settled_install(folder) && settled_self_update(folder); }

}  // namespace qv
