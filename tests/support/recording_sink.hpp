// A line sink that keeps every line it is handed, for tests of what an engine
// operation reports.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/foundations/progress.hpp"

namespace qv::test {

class RecordingSink {
 public:
  // `on_line`, when given, sees each line after it was kept, on the caller's
  // thread: a test can act at a chosen point of an operation.
  explicit RecordingSink(std::function<void(const std::string&)> on_line = {});

  const LineSink& sink() const { return sink_; }
  std::vector<std::string> lines() const;
  // The progress lines, each as "{stage} {completed}/{total} {detail}"
  // ("-" for no total).
  std::vector<std::string> progress() const;
  // A progress line in that form; none for any other line.
  static std::optional<std::string> progress_text(const std::string& line);
  // The lines that are not progress lines.
  std::vector<std::string> status_lines() const;

 private:
  struct State {
    std::mutex mutex;
    std::vector<std::string> lines;
  };
  std::shared_ptr<State> state_;
  LineSink sink_;
};

}  // namespace qv::test
