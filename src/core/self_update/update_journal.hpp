// Finding the self-update transactions of a client, and the start-up question
// whether one is still in flight. The journal record itself, its phases and
// file names are in core/install/update_journal_record.hpp.
#pragma once

#include <filesystem>
#include <functional>

#include "core/foundations/config.hpp"
#include "core/install/update_journal_record.hpp"
#include "platform/error.hpp"

namespace qv {

// Called for each self-update transaction of a client with its folder and
// decoded journal; returns true to stop the walk.
using SelfUpdateVisitor =
    std::function<Result<bool>(const std::filesystem::path& transaction_dir, const UpdateJournal& journal)>;

// Walks the transaction folders of the canonical client `root` in the order
// the file system lists them: a missing (or unexaminable) transactions folder
// visits nothing; each entry passes reject_reparse_points; an entry without
// `self-update.json` (not found, or a plain file) is passed over; a journal
// that cannot be examined, read or decoded ends the walk with that error, as
// does an error of `visit`.
Status visit_self_updates(const std::filesystem::path& root, const SelfUpdateVisitor& visit);

// Whether any transaction folder of the client holds a journal in flight.
// Takes no lock, writes nothing. No transactions folder answers false; a link
// among the entries, an unreadable entry or journal, or a journal that does
// not decode is returned as the error, whatever later folders hold (a journal
// that cannot even be looked at, too: only "not found" means none). Entries
// without a journal (install transactions, stray files) are passed over.
// Any thread.
Result<bool> find_inflight_self_update(const ClientConfig& config);

}  // namespace qv
