// Staging a launcher update: asking the configured update URL whether a newer
// launcher is published and, when one is, preparing everything the updater
// needs in a fresh transaction folder. `Launcher.exe` itself is never touched
// here; replacing it is the updater's work.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string_view>

#include "core/foundations/config.hpp"
#include "platform/error.hpp"
#include "core/foundations/progress.hpp"

namespace qv {

namespace staging_text {
inline constexpr std::string_view kPreviouslyFailed =
    "This launcher update previously failed; retained diagnostics require review";
inline constexpr std::string_view kCleanupPending = "Cleanup pending: {}";
inline constexpr std::string_view kProgressLine = "Launcher update: {}/{} bytes";
inline constexpr std::string_view kNotUtf8 = "stream did not contain valid UTF-8";
}  // namespace staging_text

// What asking for a newer launcher gave.
struct SelfUpdateOutcome {
  enum class Kind { NoUpdate, Staged };
  Kind kind = Kind::NoUpdate;
  // With Staged: root/.launcher/transactions/{32 hex digits}, holding
  // `launcher-update.qvm`, `launcher-object.qvp`, the verified
  // `Launcher.new.exe` (mode 0755) and `self-update.json` in "staged".
  std::filesystem::path transaction_dir;

  bool operator==(const SelfUpdateOutcome&) const = default;
};

// Hands "Launcher update: {bytes_in_file}/{object_bytes} bytes" to `sink`:
// the progress callback of the launcher object's download.
void on_launcher_update_progress(const LineSink& sink, std::uint64_t object_bytes, std::uint64_t bytes_in_file);

// Without `update_url`: NoUpdate at once (no lock, no folder, no request).
// Otherwise, under the client lock: downloads the metadata (at most 32 MiB)
// into a new transaction folder and opens it with the configuration's keys;
// a version not above `own_version` is NoUpdate, and the folder is removed
// unless `retain_patch_artifacts` (a failed removal is recorded under
// "self-update cleanup" and its text handed to `sink`; still NoUpdate). Only
// an update that would be staged is then compared with
// `.launcher/state/rejected-update.txt`: when that file holds exactly the
// metadata's SHA-256 (64 lower-case digits, nothing else), the update is
// refused with "This launcher update previously failed; retained diagnostics
// require review". Then the object is downloaded (each chunk reported through
// on_launcher_update_progress), installed as `Launcher.new.exe` and the
// journal written in "staged" with a fresh token. Errors are returned without
// context; a folder left by a failure is neither resumed nor removed. The
// cancel flag takes effect inside the downloads. Runs on the start-up job's
// thread.
Result<SelfUpdateOutcome> stage_launcher_update(const ClientConfig& config, const CancelFlag& cancel,
                                                const LineSink& sink, std::uint64_t own_version);

}  // namespace qv
