#include "core/foundations/progress.hpp"

#include <array>
#include <mutex>

#include <fmt/format.h>

#include "core/foundations/json.hpp"

namespace qv {
namespace {

constexpr std::array<std::string_view, 7> kStageNames = {"Manifest",  "Check", "Download", "Validate",
                                                         "CloseGame", "Apply", "Done"};
constexpr std::array<std::string_view, 3> kUnitNames = {"Bytes", "Files", "Steps"};
constexpr std::string_view kProgressFields[] = {"stage", "completed", "total", "unit", "detail"};

template <class E, std::size_t N>
Result<E> decode_name(const std::array<std::string_view, N>& names, std::string_view name, std::string_view type) {
  for (std::size_t i = 0; i < N; ++i) {
    if (names[i] == name) return static_cast<E>(i);
  }
  std::string expected;
  for (std::size_t i = 0; i < N; ++i) {
    expected += fmt::format("{}`{}`", i == 0 ? "" : ", ", names[i]);
  }
  return fail(fmt::format("unknown variant `{}` of {}, expected one of {}", name, type, expected));
}

// An enumeration member as a JSON string, or as an object whose only member is
// the name with a null value.
template <class E, std::size_t N>
Result<E> read_variant(json::Reader& reader, const std::array<std::string_view, N>& names, std::string_view type) {
  auto c = reader.peek_non_ws();
  if (c && *c == '{') {
    QV_TRY(reader.begin_object(type));
    auto key = QV_TRY(reader.next_key());
    if (!key) return fail(reader.error_here("expected value"));
    auto value = decode_name<E>(names, *key, type);
    if (!value) return fail(reader.error_here(value.error().message()));
    QV_TRY(reader.next_value());
    if (!QV_TRY(reader.read_null_if_present())) return fail(reader.invalid_type("unit variant"));
    QV_TRY(reader.end_object());
    return *value;
  }
  std::string name = QV_TRY(reader.read_string(type));
  auto value = decode_name<E>(names, name, type);
  if (!value) return fail(reader.error_here(value.error().message()));
  return *value;
}

}  // namespace

std::string_view stage_name(Stage stage) { return kStageNames[static_cast<std::size_t>(stage)]; }
std::string_view progress_unit_name(ProgressUnit unit) { return kUnitNames[static_cast<std::size_t>(unit)]; }

Result<Stage> decode_stage(std::string_view name) { return decode_name<Stage>(kStageNames, name, "Stage"); }
Result<ProgressUnit> decode_progress_unit(std::string_view name) {
  return decode_name<ProgressUnit>(kUnitNames, name, "ProgressUnit");
}

struct LineSink::State {
  State(Callback c, bool con) : callback(std::move(c)), concurrent(con) {}
  Callback callback;
  bool concurrent;
  std::mutex mutex;
};

LineSink::LineSink(Callback callback, bool concurrent)
    : state_(std::make_shared<State>(std::move(callback), concurrent)) {}

void LineSink::operator()(std::string line) const {
  if (!state_ || !state_->callback) return;
  if (state_->concurrent) {
    state_->callback(std::move(line));
    return;
  }
  std::lock_guard lock(state_->mutex);
  state_->callback(std::move(line));
}

LineSink LineSink::discard() { return LineSink(); }

std::string serialize_progress(const Progress& progress) {
  std::string out = "{\"stage\":";
  json::append_quoted(out, stage_name(progress.stage));
  out += ",\"completed\":";
  out += fmt::format("{}", progress.completed);
  out += ",\"total\":";
  out += progress.total ? fmt::format("{}", *progress.total) : std::string("null");
  out += ",\"unit\":";
  json::append_quoted(out, progress_unit_name(progress.unit));
  out += ",\"detail\":";
  json::append_quoted(out, progress.detail);
  out += '}';
  return out;
}

void emit_progress(const LineSink& sink, Stage stage, std::uint64_t completed, std::optional<std::uint64_t> total,
                   ProgressUnit unit, std::string_view detail) {
  if (sink.drops_lines()) return;  // a check emits one per client file
  Progress progress{stage, completed, total, unit, std::string(detail)};
  std::string line(kProgressTag);
  line += serialize_progress(progress);
  sink(std::move(line));
}

void emit_progress_with_total(const LineSink& sink, Stage stage, std::uint64_t completed, std::uint64_t total,
                              ProgressUnit unit, std::string_view detail) {
  emit_progress(sink, stage, completed, total, unit, detail);
}

std::optional<Progress> parse_progress_line(std::string_view line) {
  if (!line.starts_with(kProgressTag)) return std::nullopt;
  json::Reader reader(line.substr(kProgressTag.size()));
  Progress progress;
  auto read_field = [&](std::size_t i) -> Status {
    switch (i) {
      case 0: progress.stage = QV_TRY(read_variant<Stage>(reader, kStageNames, "Stage")); return {};
      case 1: progress.completed = QV_TRY(reader.read_u64()); return {};
      case 2:
        if (QV_TRY(reader.read_null_if_present())) {
          progress.total.reset();
        } else {
          progress.total = QV_TRY(reader.read_u64());
        }
        return {};
      case 3: progress.unit = QV_TRY(read_variant<ProgressUnit>(reader, kUnitNames, "ProgressUnit")); return {};
      case 4: progress.detail = QV_TRY(reader.read_string()); return {};
      default: return {};
    }
  };
  // The array form needs all five elements; in the object form only `total`
  // may be missing.
  const json::StructShape shape{"Progress", kProgressFields, 5, false};
  if (!json::read_struct(reader, shape, read_field, [](std::size_t i) { return i != 2; })) return std::nullopt;
  if (!reader.finish()) return std::nullopt;
  return progress;
}

}  // namespace qv
