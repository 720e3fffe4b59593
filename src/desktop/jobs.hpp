// The window's worker jobs: every long operation (the start-up job, a check or
// an apply, stopping the game) runs on a thread of its own and reports to the
// window only through the worker channel, ending with exactly one last
// message (every kind but Line). The PLAY step is here too; it runs on the
// window thread.
//
// One job at a time: the starter sets `busy` on the window thread before the
// thread starts, and the window clears it when the job's last message
// arrives. Job threads are never joined; a job that outlives the window sends
// into a channel nobody reads, which drops its messages.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string_view>

#include "core/foundations/config.hpp"
#include "platform/error.hpp"
#include "core/foundations/progress.hpp"
#include "core/install/check.hpp"
#include "desktop/app_state.hpp"
#include "desktop/worker_channel.hpp"

namespace qv {

inline constexpr std::string_view kUnconfiguredHint =
    "ยังไม่ได้ตั้งค่า launcher.json — เปิด ReleaseSmith เพื่อสร้าง release";
inline constexpr std::string_view kCheckBeforeUpdate = "check before update";
inline constexpr std::string_view kClosedGameProcesses = "Closed {} game processes";

// The stack each job thread reserves.
inline constexpr std::size_t kJobStackBytes = std::size_t{2} << 20;

// Starts `body` on a new job thread. Whatever `body` lets escape (an
// exception, a failed allocation) is reported as an internal failure and then
// sent as Failed with the failure's text, so the window always gets a last
// message and leaves its busy state. When no thread can be created, the
// failure is reported and Failed is sent at once through `sender`. Window
// thread.
void spawn_job(const WorkerSender& sender, std::function<void(const WorkerSender&)> body);

// The start-up job, with a copy of the configuration and a new cancel flag
// (which replaces the window's); sets `busy`. Does nothing without a
// configuration; does not test `busy`, and leaves `ready`, `progress` and the
// status alone. Window thread.
void start_startup_worker(AppState& state);

// A check (`apply_prepared` false; a full scan with `full_check`) or an apply
// of the held check (`apply_prepared` true). Refuses while `busy`; without a
// configuration shows the unconfigured hint and starts nothing. Otherwise
// clears `ready` and `progress`, sets `busy`, gives the job a new cancel flag
// (which replaces the window's), restarts the stage clock and hands the job
// copies of the configuration and of the held check. Window thread.
void start_worker(AppState& state, bool full_check, bool apply_prepared);

// STOP GAME: unless `busy` or unconfigured, sets `busy`, the closing progress
// and status, gives the window a new cancel flag (the job polls none, so a
// close while it runs cancels nothing later), and starts the stop-game job for
// the configured client root. Window thread.
void start_stop_game_worker(AppState& state);

// The job bodies. Each reports only through `sender`.
//
// The start-up job: an in-flight self-update ends it with SelfUpdateInFlight;
// otherwise self-update recovery, staging a newer launcher (SelfUpdateStaged
// when one was staged), then a quick check (CheckFinished).
void startup_worker(const WorkerSender& sender, const ClientConfig& config, const CancelFlag& cancel);
// A check (discarding the held check first, when one is given) or an apply
// of the given check ("check before update" without one).
void check_apply_worker(const WorkerSender& sender, const ClientConfig& config,
                        const std::optional<PreparedCheck>& check, const CancelFlag& cancel, bool apply_prepared,
                        bool full_check);
// Closes the client's game: the line "Closed {n} game processes", then
// GameClosed.
void stop_game_worker(const WorkerSender& sender, const std::filesystem::path& root);

// PLAY: under the client lock, recovers interrupted installs (lines
// discarded) and, when that succeeded, starts the game of `check`'s manifest.
// The lock error, the recovery error or the start error is returned as it
// is; the lock is released in every case. Window thread; blocks it.
Status launch_with_recovery(const std::filesystem::path& root, const PreparedCheck& check);

}  // namespace qv
