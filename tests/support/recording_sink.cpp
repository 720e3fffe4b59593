#include "support/recording_sink.hpp"

#include <fmt/format.h>

namespace qv::test {

RecordingSink::RecordingSink(std::function<void(const std::string&)> on_line) : state_(std::make_shared<State>()) {
  sink_ = LineSink([state = state_, on_line = std::move(on_line)](std::string line) {
    {
      std::lock_guard lock(state->mutex);
      state->lines.push_back(line);
    }
    if (on_line) on_line(line);
  });
}

std::vector<std::string> RecordingSink::lines() const {
  std::lock_guard lock(state_->mutex);
  return state_->lines;
}

std::optional<std::string> RecordingSink::progress_text(const std::string& line) {
  const auto record = parse_progress_line(line);
  if (!record) return std::nullopt;
  return fmt::format("{} {}/{} {}", stage_name(record->stage), record->completed,
                     record->total ? std::to_string(*record->total) : "-", record->detail);
}

std::vector<std::string> RecordingSink::progress() const {
  std::vector<std::string> out;
  for (const auto& line : lines()) {
    if (auto text = progress_text(line)) out.push_back(std::move(*text));
  }
  return out;
}

std::vector<std::string> RecordingSink::status_lines() const {
  std::vector<std::string> out;
  for (const auto& line : lines()) {
    if (!parse_progress_line(line)) out.push_back(line);
  }
  return out;
}

}  // namespace qv::test
