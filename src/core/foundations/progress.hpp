// The progress record, the line protocol that carries it, and the two small
// shared types every engine operation is handed: the line sink and the cancel
// flag.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/error.hpp"

namespace qv {

enum class Stage : std::uint8_t { Manifest, Check, Download, Validate, CloseGame, Apply, Done };
enum class ProgressUnit : std::uint8_t { Bytes, Files, Steps };

std::string_view stage_name(Stage stage);
std::string_view progress_unit_name(ProgressUnit unit);
// Exact, case-sensitive names.
Result<Stage> decode_stage(std::string_view name);
Result<ProgressUnit> decode_progress_unit(std::string_view name);

struct Progress {
  Stage stage = Stage::Manifest;
  std::uint64_t completed = 0;
  std::optional<std::uint64_t> total;
  ProgressUnit unit = ProgressUnit::Steps;
  std::string detail;

  bool operator==(const Progress&) const = default;
};

inline constexpr std::string_view kProgressTag = "@QV_PROGRESS ";

// Receives status and progress lines. The sink owns each line it is handed
// and must accept calls from several threads at once; `LineSink` wraps a
// callable so that the calls are serialised (a sink with its own locking can
// be wrapped with `concurrent = true`).
class LineSink {
 public:
  using Callback = std::function<void(std::string line)>;
  LineSink() = default;
  explicit LineSink(Callback callback, bool concurrent = false);
  // Hands one line (no terminator) to the callback. Never fails.
  void operator()(std::string line) const;
  // A sink that drops every line.
  static LineSink discard();
  // True for a sink that drops every line, so a caller may skip making them.
  bool drops_lines() const { return !state_; }

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// Shared by the window and the running job; set to ask the job to stop.
class CancelFlag {
 public:
  CancelFlag() : flag_(std::make_shared<std::atomic<bool>>(false)) {}
  void cancel() const { flag_->store(true, std::memory_order_relaxed); }
  bool is_cancelled() const { return flag_->load(std::memory_order_relaxed); }

 private:
  std::shared_ptr<std::atomic<bool>> flag_;
};

// The compact JSON object of a record: five members in field order, no blanks.
std::string serialize_progress(const Progress& progress);

// Builds one record and hands its line ("@QV_PROGRESS " + JSON) to the sink.
void emit_progress(const LineSink& sink, Stage stage, std::uint64_t completed, std::optional<std::uint64_t> total,
                   ProgressUnit unit, std::string_view detail);
void emit_progress_with_total(const LineSink& sink, Stage stage, std::uint64_t completed, std::uint64_t total,
                              ProgressUnit unit, std::string_view detail);

// The record when `line` is a well-formed progress line, otherwise none.
std::optional<Progress> parse_progress_line(std::string_view line);

}  // namespace qv
