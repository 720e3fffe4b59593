// LauncherUpdater.exe: the program that puts a staged launcher in the place of
// `Launcher.exe`, proves it with the health handshake, and rolls it back when
// it fails; or, in recovery mode, finishes what an interrupted run left.
//
// It runs while no launcher does (it first waits for the one that started it
// to end) and holds the client lock whenever it changes the client, so that a
// launcher started meanwhile can neither install, check nor recover. The
// launcher started for the health handshake answers without the lock (its
// start-up waits until the update has settled); the lock is given back before
// any other launcher is started, which needs it for its own start-up. Every step is crash-safe: the journal's phase is written before
// the step it announces, and the start-up recovery of the next launcher (or
// a recovery run) finishes whatever a crash cut short.
//
// In a test installation (`allow_loopback_http`), QV_TEST_FAILPOINT ends the
// process with exit code 77 at: "updater-replacing" (journal in "replacing"),
// "updater-backup-kept", "updater-launcher-replaced", "updater-awaiting-health"
// (journal in "awaiting-health", new launcher not started), "updater-rejected"
// (at the start of a rollback, after a failed handshake with the fingerprint
// written, nothing restored), and the rollback's "restore-copied" and
// "restore-set-aside".
//
// A rollback puts the previous launcher back and starts it. Only a new
// launcher that failed its handshake (no answer in time, a wrong answer, an
// end before answering) has its update's fingerprint written to
// `.launcher/state/rejected-update.txt`, which refuses that update for good;
// after a failure of the updater itself the update is not refused, and no
// launcher is started (it would hand the same update over again at once).
// When the root held no `Launcher.exe` before the swap, the new one is set
// aside as `Launcher.rejected-{id}.exe` in the transaction folder and nothing
// is started.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/foundations/config.hpp"

namespace qv::updater {

// Bounds of the waits, generous enough for a slow machine.
inline constexpr std::chrono::seconds kLauncherEndWait{60};  // the starting launcher to end
inline constexpr std::chrono::seconds kLockWait{60};         // the client lock to be free
inline constexpr std::chrono::seconds kHealthWait{30};       // the new launcher's answer

// Exit codes of the program.
inline constexpr int kExitDone = 0;        // updated, or recovered
inline constexpr int kExitFailed = 1;      // nothing changed, rolled back, or recovery failed
inline constexpr int kExitUsage = 2;       // arguments or configuration unusable

struct Invocation {
  std::filesystem::path config_file;
  std::optional<std::string> transaction;  // "--transaction"
  bool recover_only = false;               // "--recover-only yes"
  std::optional<std::uint32_t> wait_pid;   // "--wait-pid"
};

// The invocation from the arguments (argument 0 included), or the text of
// what is wrong with them.
Result<Invocation> parse_invocation(const std::vector<std::string>& args);

// Runs the update of `invocation.transaction`, or the recovery; returns the
// exit code.
int run(const Invocation& invocation, const ClientConfig& config);

}  // namespace qv::updater
