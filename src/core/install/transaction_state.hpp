// Whether a transaction folder of the client has settled: nothing in it is
// in flight or kept on purpose, so that its objects may be moved out and the
// folder itself reclaimed once the client is on the published release.
#pragma once

#include <filesystem>

namespace qv {

// True when `folder` holds neither journal in flight nor one that asks for
// the folder to be kept: its `journal.json` is missing or reads "complete" or
// "rolled-back", and its `self-update.json` is missing or reads "complete" or
// "rolled-back", neither with `retain`. A folder with no journal at all (an
// abandoned check, a download cut short, a failed staging, a recovery
// updater's folder) has settled. A journal in flight ("prepared",
// "installing", "committed", "replacing", "awaiting-health"), a staged
// update, an unknown phase or version, and a journal that cannot be looked
// at, read or decoded answer false: such a folder belongs to recovery. Reads
// only; the caller holds the client lock. Any thread.
bool is_settled_transaction(const std::filesystem::path& folder);

}  // namespace qv
