// Recovery of interrupted installs: brings every install transaction of a
// client to a final state before a check, an install or the game start goes
// on.
#pragma once

#include <filesystem>

#include "platform/error.hpp"
#include "core/foundations/progress.hpp"

namespace qv {

// First retries the transaction removals that an earlier run left pending
// (each that fails again recorded under "cleanup/retry" and sent as a line).
// Then, for every folder of `.launcher/transactions` that holds a
// `journal.json`, in listing order: version other than 1 fails with "unknown
// recovery journal"; "prepared" or "installing" is recorded under "recovery"
// as "Recovering interrupted installation" (also sent as a line) and rolled
// back; "committed" or "complete" is written as "complete" and its folder
// removed unless the journal retains it (a failed removal recorded under
// "cleanup" as "Cleanup pending: {}" and sent as a line); "rolled-back" is
// left alone; any other phase fails with "unknown journal phase".
//
// Only a missing `journal.json` (or a plain file in the transactions folder)
// means "no install here": a journal that exists but cannot be read or
// decoded fails the call, so a half-installed client is never taken for a
// whole one. Likewise only a missing transactions folder means there is
// nothing to recover.
//
// Any failure ends the call at once, leaving later entries as they are; the
// error is recorded under "recover" and returned as the recorded text
// (`report_error`). The caller holds the client lock for the whole call.
Status recover(const std::filesystem::path& root, const LineSink& sink);

}  // namespace qv
