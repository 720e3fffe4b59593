// Rollback: undoes an install that did not reach its end, driven only by the
// journal and by what it finds on disk, so it works the same after an error
// inside a running install and after a crash, and a rollback that was itself
// interrupted can simply be run again.
//
// No client file is deleted: files the install left at a target are moved
// into a fresh `rejected-{32 hex}` folder of the transaction under their
// relative path, and an installed state written by the install is either
// overwritten with the copy taken before it or moved aside as
// `rejected-state-{32 hex}.qvm`.
#pragma once

#include <filesystem>

#include "platform/error.hpp"
#include "core/install/journal.hpp"

namespace qv {

// Undoes the journal's operations from the last to the first: a backup that
// exists goes back to its target (whatever stands at the target set aside
// first); without a backup, a target that the install created (`had_old`
// false) is set aside. Then the installed state: with `previous_state` the
// bytes of `previous-manifest.qvm` are written back, otherwise a state file
// that now exists is set aside. Last, the phase "rolled-back" is written.
//
// A journal whose phase is past "installing" (an install whose commit write
// failed after `journal.json` was replaced) is first written back as
// "installing", so that a rollback stopped halfway is rolled back again by
// `recover` rather than taken for finished; when that write fails, nothing is
// moved and its error is returned, leaving the client whole on the new
// release.
//
// Every error of a called operation is returned unchanged and ends the
// rollback at once: operations not yet reached stay as they are and the
// journal keeps its earlier phase. Sends no lines. The caller holds the
// client lock.
Status rollback(const std::filesystem::path& root, const std::filesystem::path& transaction_dir, Journal& journal);

}  // namespace qv
