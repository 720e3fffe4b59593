// Start-up recovery of launcher self-updates: what earlier updates left in the
// client's transaction folders is finished here, before a new update is
// looked for.
#pragma once

#include "core/foundations/config.hpp"
#include "platform/error.hpp"

namespace qv {

// Under the client lock: retries pending folder removals (each removal that
// still fails is one line on standard error, and the recovery goes on);
// removes the folder of every "complete" update without `retain` (a failed
// removal is recorded under "self-update cleanup" and written to standard
// error, and the recovery goes on); and rolls back every update in
// "replacing" or "awaiting-health": the previous launcher is put back from
// `Launcher.backup.exe` (restore_previous_launcher; nothing is touched
// without a backup), then the journal is rewritten as "rolled-back" with its
// other fields unchanged. The journal is rewritten last, so a run cut short
// is finished by the next one. The first other error ends the recovery and is
// returned without context, after the lock is released. With
// `allow_loopback_http`, the fail points of the restore are armed. Runs on a
// job thread (the start-up job) or in the updater.
Status recover_self_update(const ClientConfig& config);

}  // namespace qv
