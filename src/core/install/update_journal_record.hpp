// The self-update journal `self-update.json`: the one record through which the
// launcher and the updater program agree on how far a launcher update has
// come. A transaction folder holding it is a self-update transaction.
//
// The record lives at the level of the install engine, which must tell a
// finished self-update folder from one in flight before it reclaims
// transaction folders; the self-update module builds on it.
//
// Phases, compared byte for byte:
//   "staged"           written by the staging; not in flight
//   "replacing"        the updater is replacing Launcher.exe; in flight
//   "awaiting-health"  Launcher.exe replaced, the new launcher must answer; in flight
//   "complete"         finished; recovery removes the folder unless `retain`
//   "rolled-back"      the previous Launcher.exe was put back; final
// Any other text counts as not in flight.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/error.hpp"

namespace qv {

namespace self_update_phase {
inline constexpr std::string_view kStaged = "staged";
inline constexpr std::string_view kReplacing = "replacing";
inline constexpr std::string_view kAwaitingHealth = "awaiting-health";
inline constexpr std::string_view kComplete = "complete";
inline constexpr std::string_view kRolledBack = "rolled-back";
}  // namespace self_update_phase

// The file names a self-update transaction folder holds.
namespace self_update_file {
inline constexpr std::string_view kJournal = "self-update.json";
inline constexpr std::string_view kMetadata = "launcher-update.qvm";
inline constexpr std::string_view kObject = "launcher-object.qvp";
inline constexpr std::string_view kNewLauncher = "Launcher.new.exe";
inline constexpr std::string_view kBackup = "Launcher.backup.exe";
inline constexpr std::string_view kHealth = "health.json";
inline constexpr std::string_view kRunningUpdater = "Updater.running.exe";
inline constexpr std::string_view kRecoveryUpdater = "Updater.recovery.exe";
}  // namespace self_update_file

// Client-relative names of the launcher's own files in the client root.
namespace launcher_path {
inline constexpr std::string_view kLauncher = "Launcher.exe";
inline constexpr std::string_view kUpdater = "LauncherUpdater.exe";
inline constexpr std::string_view kTransactions = ".launcher/transactions";
inline constexpr std::string_view kRejectedUpdate = ".launcher/state/rejected-update.txt";
}  // namespace launcher_path

struct UpdateJournal {
  std::uint32_t version = 1;  // format version; 1 for every journal made here, tested by no reader
  std::string phase;
  std::string token;  // 32 lower-case hex digits drawn at staging; never changed
  bool retain = false;

  bool operator==(const UpdateJournal&) const = default;
};

// True for "replacing" and "awaiting-health" exactly.
bool is_in_flight_phase(std::string_view phase);

// The file's text: the four members in field order, pretty-printed with two
// blanks of indent, no line break after the closing brace.
std::string serialize_update_journal(const UpdateJournal& journal);

// Writes `self-update.json` in `transaction_dir` with write_file_atomic, so a
// reader sees the old or the new file whole; its error is returned unchanged.
Status write_update_journal(const std::filesystem::path& transaction_dir, const UpdateJournal& journal);

// Decodes the bytes of a journal: the object form (keys in any order, unknown
// keys skipped, each known key exactly once) or the four-element array form,
// surrounded by JSON whitespace only. Errors are the JSON reader's, with
// their position.
Result<UpdateJournal> decode_update_journal(std::string_view bytes);

// Reads `self-update.json` of `transaction_dir` whole and decodes it. Read
// errors are the operating-system error ("file too large" past 1 MiB, which
// no journal comes near).
Result<UpdateJournal> read_update_journal(const std::filesystem::path& transaction_dir);

}  // namespace qv
