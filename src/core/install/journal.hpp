// The install journal: the record in a transaction folder that makes an
// install crash-safe. `apply` writes the list of file operations before it
// touches the first client file and advances the phase at every point after
// which a crash needs a different recovery; `recover` reads it back and either
// finishes the install or rolls it back.
//
// Two files of the transaction folder hold it: `journal.json`, the current
// journal (pretty JSON, replaced atomically at every write), and
// `journal-events.jsonl`, an append-only history of one compact line per
// write, kept for diagnosis and never read back.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.hpp"

namespace qv {

// The five phase texts, compared exactly.
namespace journal_phase {
// Operations listed, targets probed, installed state copied; no client file
// touched yet. Rolled back by recovery.
inline constexpr std::string_view kPrepared = "prepared";
// Client files are being replaced. Rolled back by recovery.
inline constexpr std::string_view kInstalling = "installing";
// Every file installed and verified, installed state written. Finished by
// recovery.
inline constexpr std::string_view kCommitted = "committed";
// Finished; only the removal of the folder may be outstanding.
inline constexpr std::string_view kComplete = "complete";
// Every operation undone. Final: the folder stays.
inline constexpr std::string_view kRolledBack = "rolled-back";
}  // namespace journal_phase

inline constexpr std::uint32_t kJournalVersion = 1;
inline constexpr std::string_view kJournalFile = "journal.json";
inline constexpr std::string_view kJournalEventsFile = "journal-events.jsonl";

// One file operation of an install, on the client-relative `path`.
struct Operation {
  std::string path;
  // Something existed at the target when the journal was built; it is moved
  // into the transaction's backup before anything else happens to the target.
  bool had_old = false;
  // The target is only moved into the backup; nothing is installed there.
  bool delete_ = false;  // "delete" in the file

  bool operator==(const Operation&) const = default;
};

struct Journal {
  std::uint32_t version = kJournalVersion;
  std::string phase;
  // `.launcher/state/manifest.qvm` existed when the install began and a copy
  // is kept as `previous-manifest.qvm` in the transaction folder.
  bool previous_state = false;
  // In execution order: one install per downloaded file, then the deletes
  // (the plan's, then the installed files that an install replaces under
  // another letter case).
  std::vector<Operation> operations;
  // Keep the transaction folder after a finished install.
  bool retain = false;

  bool operator==(const Journal&) const = default;
};

// The `journal.json` form: pretty JSON, two blanks per level, no line break at
// the end.
std::string journal_pretty_json(const Journal& journal);
// The event-log form: compact JSON on one line (without its line feed).
std::string journal_compact_json(const Journal& journal);

// Replaces `journal.json` in `transaction_dir` with `write_file_atomic`, then
// appends the compact line and a line feed to `journal-events.jsonl` and
// flushes it. A failure of the first step leaves the previous journal intact
// and the log untouched; a later failure (a link at the log's path, an open,
// write or flush error) is returned after `journal.json` already holds the new
// journal, so a caller that gets an error must assume either phase on disk.
// Errors carry no context of their own. The caller holds the client lock.
Status write_journal(const std::filesystem::path& transaction_dir, const Journal& journal);

// Reads and decodes the `journal.json` at `journal_file`: the read error, or
// the JSON reader's error with its position. Phase and version are not
// examined here.
Result<Journal> read_journal(const std::filesystem::path& journal_file);

// The decoding step of `read_journal`: one journal in object form (keys in
// any order, unknown keys skipped, repeated or missing keys refused) or array
// form (exactly five elements in field order), followed by nothing but JSON
// whitespace. Pure; any thread.
Result<Journal> decode_journal(std::string_view bytes);

}  // namespace qv
