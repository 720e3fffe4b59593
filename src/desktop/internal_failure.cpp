#include "desktop/internal_failure.hpp"

#include <atomic>
#include <exception>
#include <typeinfo>

#include <cxxabi.h>

#include "platform/message_box.hpp"

namespace qv {
namespace {

std::atomic<FailureHandler> installed{nullptr};

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
