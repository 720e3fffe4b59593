#include "core/install/journal.hpp"

#include <fmt/format.h>

#include "core/foundations/fileops.hpp"
#include "core/foundations/json.hpp"
#include "core/foundations/paths.hpp"
#include "platform/append_file.hpp"
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
  const std::string_view newline = pretty ? "\n" : "";
  const std::string_view colon = pretty ? ": " : ":";
  auto pad = [&](std::string& out, int level) {
    if (pretty) out.append(static_cast<std::size_t>(level) * 2, ' ');
  };
  std::string out;
  out.reserve(128 + journal.operations.size() * (pretty ? 96 : 48));
  auto member = [&](int level, std::string_view key) {
    pad(out, level);
    json::append_quoted(out, key);
    out += colon;
  };
  out += '{';
  out += newline;
  member(1, "version");
  out += fmt::format("{},", journal.version);
  out += newline;
  member(1, "phase");
  json::append_quoted(out, journal.phase);
  out += ',';
  out += newline;
  member(1, "previous_state");
  out += boolean(journal.previous_state);
  out += ',';
  out += newline;
  member(1, "operations");
  out += '[';
  if (!journal.operations.empty()) {
    out += newline;
    for (std::size_t i = 0; i < journal.operations.size(); ++i) {
      const Operation& operation = journal.operations[i];
      pad(out, 2);
      out += '{';
      out += newline;
      member(3, "path");
      json::append_quoted(out, operation.path);
      out += ',';
      out += newline;
      member(3, "had_old");
      out += boolean(operation.had_old);
      out += ',';
      out += newline;
      member(3, "delete");
      out += boolean(operation.delete_);
      out += newline;
      pad(out, 2);
      out += '}';
      if (i + 1 < journal.operations.size()) out += ',';
      out += newline;
    }
    pad(out, 1);
  }
  out += "],";
  out += newline;
  member(1, "retain");
  out += boolean(journal.retain);
  out += newline;
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
  const auto events = transaction_dir / kJournalEventsFile;
  QV_TRY(reject_reparse_points(events));
  auto file = QV_TRY(platform::open_for_append(events));
  const std::string line = journal_compact_json(journal) + '\n';
  QV_TRY(platform::write_all(file.get(), line.data(), line.size()));
  QV_TRY(platform::flush_fd(file.get()));
  return platform::close_fd(file.release());
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
