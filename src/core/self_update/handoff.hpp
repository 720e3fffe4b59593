// Handing a launcher update over to the updater program. The updater is
// never run from the client root: `LauncherUpdater.exe` is copied into a
// transaction folder and the copy is started, in a session of its own, with
// the client root as working folder and its standard streams on /dev/null,
// inheriting no descriptor. Nothing waits for it: the launcher ends right
// after a successful start, and the updater waits for that (`--wait-pid`).
// Arguments travel as a vector, so each one, the configuration path with
// blanks or any other letters included, reaches the updater unchanged.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string_view>

#include "core/foundations/config.hpp"
#include "platform/error.hpp"

namespace qv {

namespace handoff_text {
inline constexpr std::string_view kUpdaterMissing = "LauncherUpdater.exe must be distributed beside Launcher.exe";
inline constexpr std::string_view kTransactionId = "transaction ID";
}  // namespace handoff_text

// Starts the updater for the update staged in `transaction_dir`: the root's
// `LauncherUpdater.exe` must be a regular file ("LauncherUpdater.exe must be
// distributed beside Launcher.exe", tested before anything is copied); it is
// copied durably to `Updater.running.exe` there and started with "--config"
// `config_file`, "--transaction" (the folder's last component; a path without
// one fails with "transaction ID") and "--wait-pid" `pid` in decimal. Errors
// are returned without context. Takes no lock; window thread.
Status spawn_updater(const ClientConfig& config, const std::filesystem::path& config_file,
                     const std::filesystem::path& transaction_dir, std::uint32_t pid);

// Starts the updater in recovery mode: a new transaction folder receives the
// copy `Updater.recovery.exe` (a missing updater fails with the copy's
// operating-system error, leaving the empty folder), started with "--config"
// `config_file`, "--recover-only" "yes" and "--wait-pid" with this process's
// id. Errors are returned without context. Takes no lock; window thread.
Status spawn_recovery_updater(const ClientConfig& config, const std::filesystem::path& config_file);

}  // namespace qv
