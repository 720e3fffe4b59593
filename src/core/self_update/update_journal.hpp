// The self-update journal `self-update.json`: the one record through which the
// launcher and the updater program agree on how far a launcher update has
// come. A transaction folder holding it is a self-update transaction.
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
#include <functional>
#include <string>
#include <string_view>

#include "core/foundations/config.hpp"
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

// Called for each self-update transaction of a client with its folder and
// decoded journal; returns true to stop the walk.
using SelfUpdateVisitor =
    std::function<Result<bool>(const std::filesystem::path& transaction_dir, const UpdateJournal& journal)>;

// Walks the transaction folders of the canonical client `root` in the order
// the file system lists them: a missing (or unexaminable) transactions folder
// visits nothing; each entry passes reject_reparse_points; an entry without
// an examinable `self-update.json` is passed over; a journal that cannot be
// read or decoded ends the walk with that error, as does an error of
// `visit`.
Status visit_self_updates(const std::filesystem::path& root, const SelfUpdateVisitor& visit);

// Whether any transaction folder of the client holds a journal in flight.
// Takes no lock, writes nothing. No transactions folder answers false; a link
// among the entries, an unreadable entry or journal, or a journal that does
// not decode is returned as the error, whatever later folders hold. Entries
// without a journal (install transactions, stray files) are passed over.
// Any thread.
Result<bool> find_inflight_self_update(const ClientConfig& config);

}  // namespace qv
