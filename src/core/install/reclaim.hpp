// Reclaiming what earlier checks, downloads, installs and self-updates left in
// the client's transaction folders, once a check or an install has brought
// the client to the published release: otherwise every interruption would
// keep its objects and set-aside files on the player's disk for ever.
#pragma once

#include <filesystem>

#include "core/foundations/progress.hpp"

namespace qv {

// Removes, each under its cleanup marker (cleanup_transaction), every folder
// of `.launcher/transactions` below the canonical `root` other than `own` (by
// name) that is named by a transaction id and has settled
// (is_settled_transaction). A folder in flight or retained, one whose journal
// cannot be read, links and plain files are left alone: they belong to
// recovery or to the player. What was removed is one diagnostics record under
// "cleanup": "Reclaimed settled transactions: {id}, {id}, ...". A removal that
// fails, or a transactions folder that cannot be listed, is recorded under
// "cleanup" as "Cleanup pending: {error chain}" and sent to `sink`; a removal
// that failed after its marker was written leaves the marker, and the next
// recovery finishes it. Never fails. For finish_check and apply once the
// client is on the published release and retain_patch_artifacts is not set;
// the caller holds the client lock.
void reclaim_settled_transactions(const std::filesystem::path& root, const std::filesystem::path& own,
                                  const LineSink& sink);

}  // namespace qv
