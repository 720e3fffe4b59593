#include "desktop/internal_failure.hpp"

#include <atomic>
#include <cstdlib>
#include <exception>
#include <typeinfo>

#include <cxxabi.h>

#include "desktop/error_report.hpp"
#include "platform/message_box.hpp"

namespace qv {
namespace {

std::atomic<FailureHandler> installed{nullptr};

constexpr std::string_view kPanicContext = "panic";

}  // namespace

void set_failure_handler(FailureHandler handler) { installed.store(handler); }

void report_internal_failure(std::string_view description) noexcept {
  try {
    if (const FailureHandler handler = installed.load()) {
      handler(description);
      return;
    }
    std::string line(description);
    line.push_back('\n');
    platform::write_standard_error(line);
  } catch (...) {
    // Reporting is the last resort; a failure here has nowhere left to go.
  }
}

void fail_internally(std::string_view description) noexcept {
  report_internal_failure(description);
  std::_Exit(kInternalFailureExitCode);
}

void record_panic(std::string_view description) {
  std::string text = record_ui_error(std::nullopt, kPanicContext, description);
  text.push_back('\n');
  platform::write_standard_error(text);
}

std::string describe_current_exception() {
  std::string text = "internal failure: ";
  try {
    throw;
  } catch (const std::exception& e) {
    text += e.what();
  } catch (...) {
    const std::type_info* type = abi::__cxa_current_exception_type();
    text += type ? type->name() : "unknown exception";
  }
  return text;
}

}  // namespace qv
