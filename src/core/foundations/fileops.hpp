// Crash-safe file operations and the removal of transaction folders.
//
// Every file the launcher writes, moves, copies or deletes goes through here.
// The write guard keeps the launcher out of protected reference clients and
// away from symbolic links; the atomic write leaves either the old or the new
// content after a crash; removals of transaction folders run under a marker in
// `.launcher/state/cleanup-pending` so that an interrupted removal is finished
// on a later run.
//
// Paths are absolute unless said otherwise. No operation keeps state or takes
// a lock of its own: any thread may call them, and the client lock is the
// callers' business. Operating-system errors carry no added context unless a
// message below says otherwise.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.hpp"
#include "platform/folder.hpp"

namespace qv {

// The write guard. A relative path is taken below the current folder. Fails
// with "immutable input cannot be a write target" when a component names a
// protected reference client, "reparse point rejected: {}" for a link on the
// way, "missing write-target ancestor" when nothing on the way exists, and the
// errors of `resolve_write_root` for the nearest existing ancestor. Targets
// outside any client are allowed.
Status check_write_target(const std::filesystem::path& path);

// The folder that holds `path`, held open, and the entry's name in it: the
// way to create, replace or remove an entry so that the folder checked is the
// folder acted on, even if a name on the way is exchanged for a link
// meanwhile. No link is followed on the way to the folder ("reparse point
// rejected: {prefix}", or the operating-system error when the link has gone
// again); with `create` the folder and its missing ancestors are made first.
// A path without a parent fails with "parent", a path longer than the system
// can name (PATH_MAX) with its error, before anything is made. Runs no write
// guard.
struct EntryFolder {
  platform::Folder folder;
  std::string name;
};
Result<EntryFolder> open_entry_folder(const std::filesystem::path& path, bool create);

// Replaces the whole content of `target` with `bytes`: written to a fresh
// "{id}.writing" sibling, flushed, then renamed over the target and the folder
// flushed. Missing folders above the target are created. A target without a
// parent fails with "parent". On failure the target is as before and the
// temporary is removed (as far as the system allows); the error returned is
// the one that stopped the write. The target's folder is resolved once: the
// temporary is created, renamed and removed in that folder only.
Status write_file_atomic(const std::filesystem::path& target, std::string_view bytes);

// Moves `source` over `destination` (replacing it) and flushes the folders
// involved, so the move is on disk when this returns. Both paths pass the
// write guard. A refused move fails with "replace {destination}: {os error}"
// and changes nothing. Moving a file onto its own name (any spelling of it)
// succeeds and changes nothing; moving it onto another name of the same file
// (a hard link) removes the source name.
Status replace_file(const std::filesystem::path& source, const std::filesystem::path& destination);

// Copies `source` to `destination`, with the source's permission bits: the
// copy is written to a fresh "{id}.writing" sibling, flushed, and moved over
// the destination, so an existing destination is replaced, never written
// into (a second name it has elsewhere keeps the old content). Missing
// folders above the destination are created; a destination without a parent
// fails with "parent"; a destination that is the source itself under another
// name fails with EINVAL, as does one that is not a regular file (EISDIR for
// a folder); those are left as they were. After a failure the destination is
// as before and the temporary is removed (as far as the system allows).
Status copy_durable(const std::filesystem::path& source, const std::filesystem::path& destination);

// Proves, changing nothing, that every existing path of `targets` is a regular
// file that this process alone holds and can open for reading and writing in
// a writable folder. Missing paths pass. Fails with "replacement target is not
// a file: {}" or "file locked or not writable: {}: {}" (a running program,
// another open descriptor, a read-only medium). Every target stays open until
// the whole list passed, so a path listed twice fails at its second
// occurrence; all are closed before returning.
Status probe_targets(const std::vector<std::filesystem::path>& targets);

// Proves that `folder` is a transaction folder of the client at `root` that
// may be removed whole: its canonical parent is the canonical
// `.launcher/transactions` ("cleanup scope violation"), its name is 32
// hexadecimal digits ("transaction id"), and neither it nor anything below it
// is a link or a mount point, whose removal would reach into another file
// system ("reparse point rejected: {}"). Returns the canonical folder.
Result<std::filesystem::path> check_transaction_dir(const std::filesystem::path& root,
                                                    const std::filesystem::path& folder);

// Removes a transaction folder of the client at `root` under its cleanup
// marker `.launcher/state/cleanup-pending/{id}.json`. A failure before the
// marker is written changes nothing; a failure after it leaves the marker for
// `process_cleanup_pending`.
Status cleanup_transaction(const std::filesystem::path& root, const std::filesystem::path& folder);

// Finishes every removal that a cleanup marker of the client at `root` names.
// Each removal that still fails gives one text "Cleanup pending for {id}:
// {error chain}" and the next marker is handled. Fails as a whole only when
// the marker folder cannot be listed or a marker path cannot be checked. No
// marker folder gives an empty list.
Result<std::vector<std::string>> process_cleanup_pending(const std::filesystem::path& root);

// Whether the client at `root` has a removal left pending: an entry of the
// marker folder named as a cleanup marker ("{32 hex digits}.json"); other
// entries do not count. A marker folder that is missing or cannot be listed
// is the error of opening or listing it. Changes nothing.
Result<bool> has_cleanup_markers(const std::filesystem::path& root);

}  // namespace qv
