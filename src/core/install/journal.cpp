#include "core/install/journal.hpp"

#include <string>

#include "core/foundations/fileops.hpp"
#include "core/foundations/json.hpp"
#include "core/foundations/paths.hpp"
#include "platform/durable.hpp"
#include "platform/fs.hpp"

namespace qv {
namespace {

constexpr std::string_view kJournalFields[] = {"version", "phase", "previous_state", "operations", "retain"};
constexpr std::string_view kOperationFields[] = {"path", "had_old", "delete"};

// A journal lists at most every file and delete entry of one release, and a
// release manifest is at most 32 MiB: no journal comes near this size.
constexpr std::size_t kMaxJournalBytes = std::size_t{64} << 20;

std::string_view boolean(bool value) { return value ? "true" : "false"; }

// Both forms from one writer, so they never disagree on a key or its order:
// the compact line, or the pretty form with two blanks per nesting level.
std::string journal_json(const Journal& journal, bool pretty) {
  std::string out;
  out.reserve(128 + journal.operations.size() * (pretty ? 96 : 48));
  auto open_line = [&](int level) {
    if (pretty) out.append(static_cast<std::size_t>(level) * 2, ' ');
  };
  auto end_line = [&](bool more) {
    if (more) out += ',';
    if (pretty) out += '\n';
  };
  // `"key": value` (or `"key":value`), up to the comma and line break.
  auto member = [&](int level, std::string_view key, std::string_view value, bool more) {
    open_line(level);
    json::append_quoted(out, key);
    out += pretty ? ": " : ":";
    out += value;
    end_line(more);
  };
  out += '{';
  end_line(false);
  member(1, "version", std::to_string(journal.version), true);
  member(1, "phase", json::quoted(journal.phase), true);
  member(1, "previous_state", boolean(journal.previous_state), true);
  open_line(1);
  json::append_quoted(out, "operations");
  out += pretty ? ": [" : ":[";
  if (!journal.operations.empty()) {
    end_line(false);
    for (std::size_t i = 0; i < journal.operations.size(); ++i) {
      const Operation& operation = journal.operations[i];
      open_line(2);
      out += '{';
      end_line(false);
      member(3, "path", json::quoted(operation.path), true);
      member(3, "had_old", boolean(operation.had_old), true);
      member(3, "delete", boolean(operation.delete_), false);
      open_line(2);
      out += '}';
      end_line(i + 1 < journal.operations.size());
    }
    open_line(1);
  }
  out += ']';
  end_line(true);
  member(1, "retain", boolean(journal.retain), false);
  out += '}';
  return out;
}

Result<Operation> read_operation(json::Reader& reader) {
  Operation operation;
  const json::StructShape shape{"Operation", kOperationFields, 3, false};
  auto read_field = [&](std::size_t i) -> Status {
    switch (i) {
      case 0: operation.path = QV_TRY(reader.read_string()); return {};
      case 1: operation.had_old = QV_TRY(reader.read_bool()); return {};
      case 2: operation.delete_ = QV_TRY(reader.read_bool()); return {};
      default: return {};
    }
  };
  QV_TRY(json::read_struct(reader, shape, read_field, [](std::size_t) { return true; }));
  return operation;
}

Status read_operations(json::Reader& reader, std::vector<Operation>& out) {
  QV_TRY(reader.begin_array("a sequence"));
  while (QV_TRY(reader.next_element())) out.push_back(QV_TRY(read_operation(reader)));
  return reader.end_array();
}

}  // namespace

std::string journal_pretty_json(const Journal& journal) { return journal_json(journal, true); }

std::string journal_compact_json(const Journal& journal) { return journal_json(journal, false); }

Status write_journal(const std::filesystem::path& transaction_dir, const Journal& journal) {
  QV_TRY(write_file_atomic(transaction_dir / kJournalFile, journal_pretty_json(journal)));
  // The transaction folder is resolved once, so the line lands in this
  // transaction's history even if a folder on the way is swapped for a link.
  const auto events_path = transaction_dir / kJournalEventsFile;
  QV_TRY(reject_reparse_points(events_path));
  const auto events = QV_TRY(open_entry_folder(events_path, /*create=*/false));
  auto file = QV_TRY(events.folder.open_for_append(events.name, 0644));
  const std::string line = journal_compact_json(journal) + '\n';
  QV_TRY(platform::write_all(file.fd.get(), line.data(), line.size()));
  QV_TRY(platform::flush_fd(file.fd.get()));
  // The first event made the file: its folder entry must reach the disk too.
  if (file.created) QV_TRY(events.folder.flush());
  return platform::close_fd(file.fd.release());
}

Result<Journal> decode_journal(std::string_view bytes) {
  json::Reader reader(bytes);
  Journal journal;
  const json::StructShape shape{"Journal", kJournalFields, 5, false};
  auto read_field = [&](std::size_t i) -> Status {
    switch (i) {
      case 0: journal.version = QV_TRY(reader.read_u32()); return {};
      case 1: journal.phase = QV_TRY(reader.read_string()); return {};
      case 2: journal.previous_state = QV_TRY(reader.read_bool()); return {};
      case 3: return read_operations(reader, journal.operations);
      case 4: journal.retain = QV_TRY(reader.read_bool()); return {};
      default: return {};
    }
  };
  QV_TRY(json::read_struct(reader, shape, read_field, [](std::size_t) { return true; }));
  QV_TRY(reader.finish());
  return journal;
}

Result<Journal> read_journal(const std::filesystem::path& journal_file) {
  const std::string bytes = QV_TRY(platform::read_small_file(journal_file, kMaxJournalBytes));
  return decode_journal(bytes);
}

}  // namespace qv
