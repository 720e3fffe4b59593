// Putting one launcher executable in the place of another in the client root.
// Both directions keep a `Launcher.exe` in the root at every moment: the file
// that leaves keeps a second name in the transaction folder, and the file that
// arrives is moved in by one rename, which replaces the old name atomically.
// A crash anywhere leaves either the old or the new launcher as
// `Launcher.exe`, and the journal's phase (written by the callers after each
// swap) tells the next run what is left to do.
#pragma once

#include <filesystem>
#include <optional>

#include "platform/error.hpp"

namespace qv {

// Gives the file `source` the further name `destination` (which must not
// exist) and flushes the destination's folder. Where the file system has no
// hard links across these folders, a durable copy stands in. Both paths pass
// the write guard and the link refusal; errors are returned unchanged.
Status keep_second_name(const std::filesystem::path& source, const std::filesystem::path& destination);

// The updater's replacement, for the staged transaction `transaction_dir` of
// the canonical client `root`: the current `Launcher.exe` (when there is one)
// gets the second name `Launcher.backup.exe` in the folder, then
// `Launcher.new.exe` is moved over `Launcher.exe`. With `armed`, the fail
// points "updater-backup-kept" and "updater-launcher-replaced" end the process
// after each step.
Status install_staged_launcher(const std::filesystem::path& root, const std::filesystem::path& transaction_dir,
                               bool armed);

// The rollback of an in-flight update: when `Launcher.backup.exe` exists in
// `transaction_dir`, it is copied durably to `Launcher.restore-{id}.exe`
// there, the current `Launcher.exe` (when there is one) gets the second name
// `Launcher.rejected-{id}.exe` there, and the restore copy is moved over
// `Launcher.exe`. Without a backup nothing is touched. With `armed`, the fail
// points "restore-copied" and "restore-set-aside" end the process after the
// first two steps. Errors are those of the file operations, unchanged.
Status restore_previous_launcher(const std::filesystem::path& root, const std::filesystem::path& transaction_dir,
                                 bool armed);

// The rollback of an update that found no `Launcher.exe` in the root: the
// launcher it put there is moved (not copied) to `Launcher.rejected-{id}.exe`
// in `transaction_dir`, as a rollback sets aside a file that did not exist
// before, so that the root holds no launcher again. Returns where it went, or
// nothing when the root holds no launcher (the swap never got that far).
// Errors are those of the file operations, unchanged.
Result<std::optional<std::filesystem::path>> set_aside_new_launcher(const std::filesystem::path& root,
                                                                    const std::filesystem::path& transaction_dir);

}  // namespace qv
