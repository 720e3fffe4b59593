#include "core/install/update_journal_record.hpp"

#include <fmt/format.h>

#include "core/foundations/fileops.hpp"
#include "core/foundations/json.hpp"
#include "platform/fs.hpp"

namespace qv {
namespace {

constexpr std::string_view kFields[] = {"version", "phase", "token", "retain"};

// A journal is a little over a hundred bytes; a file past this is not one,
// and is refused before it can cost memory.
constexpr std::size_t kMaxJournalBytes = std::size_t{1} << 20;

}  // namespace

bool is_in_flight_phase(std::string_view phase) {
  return phase == self_update_phase::kReplacing || phase == self_update_phase::kAwaitingHealth;
}

std::string serialize_update_journal(const UpdateJournal& journal) {
  std::string out = fmt::format("{{\n  \"version\": {},\n  \"phase\": ", journal.version);
  json::append_quoted(out, journal.phase);
  out += ",\n  \"token\": ";
  json::append_quoted(out, journal.token);
  out += fmt::format(",\n  \"retain\": {}\n}}", journal.retain ? "true" : "false");
  return out;
}

Status write_update_journal(const std::filesystem::path& transaction_dir, const UpdateJournal& journal) {
  return write_file_atomic(transaction_dir / self_update_file::kJournal, serialize_update_journal(journal));
}

Result<UpdateJournal> decode_update_journal(std::string_view bytes) {
  json::Reader reader(bytes);
  UpdateJournal journal;
  const json::StructShape shape{"UpdateJournal", kFields, 4, false};
  auto read_field = [&](std::size_t i) -> Status {
    switch (i) {
      case 0: journal.version = QV_TRY(reader.read_u32()); return {};
      case 1: journal.phase = QV_TRY(reader.read_string()); return {};
      case 2: journal.token = QV_TRY(reader.read_string()); return {};
      default: journal.retain = QV_TRY(reader.read_bool()); return {};
    }
  };
  QV_TRY(json::read_struct(reader, shape, read_field, [](std::size_t) { return true; }));
  QV_TRY(reader.finish());
  return journal;
}

Result<UpdateJournal> read_update_journal(const std::filesystem::path& transaction_dir) {
  const auto bytes = QV_TRY(platform::read_small_file(transaction_dir / self_update_file::kJournal, kMaxJournalBytes));
  return decode_update_journal(bytes);
}

}  // namespace qv
