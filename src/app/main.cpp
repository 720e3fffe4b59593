// Launcher.exe: the program installed in the client root.
//
// Installs the handler of internal failures, runs the desktop application,
// and turns an error that ends it into a diagnostics record and a message box,
// or, for a launcher that the updater started for its health handshake, a
// line on standard error and exit code 1.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

#include "core/foundations/config.hpp"
#include "desktop/error_report.hpp"
#include "desktop/internal_failure.hpp"
#include "desktop/startup.hpp"
#include "desktop/window_context.hpp"
#include "platform/message_box.hpp"

namespace {

constexpr std::string_view kFatalContext = "launcher fatal";
constexpr int kHealthFailureExit = 1;

void fatal_message_box(std::string_view text) { qv::platform::show_message_box(qv::kWindowTitle, text); }

// What ends a thread that let an exception escape, or any other broken
// invariant the runtime detects: reported, then the process ends abnormally
// (a status other than 0, 1 and 77).
[[noreturn]] void on_terminate() {
  std::string description = "internal failure: terminate called";
  if (std::current_exception()) {
    try {
      description = qv::describe_current_exception();
    } catch (...) {
    }
  }
  qv::report_internal_failure(description);
  std::abort();
}

}  // namespace

int main() {
  // An internal failure met on any thread is recorded under "panic" and
  // written to standard error; the failing thread then stops.
  qv::set_failure_handler(&qv::record_panic);
  std::set_terminate(&on_terminate);

  int exit_code = 0;
  if (const qv::Status ran = qv::run(); !ran) {
    std::string text = qv::record_ui_error(std::nullopt, kFatalContext, ran.error().to_string());
    if (qv::arg_value(qv::kHealthIdOption)) {
      text.push_back('\n');
      qv::platform::write_standard_error(text);
      exit_code = kHealthFailureExit;
    } else {
      fatal_message_box(text);
    }
  }
  // A job still running ends with the process, as it would if the process
  // were killed here (the install journal covers that): the process ends
  // without running the destructors of objects the job may still use.
  std::fflush(nullptr);
  std::_Exit(exit_code);
}
