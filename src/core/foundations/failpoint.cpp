#include "core/foundations/failpoint.hpp"

#include <string>

#include <fmt/format.h>

#include "core/foundations/unicode.hpp"
#include "platform/environment.hpp"

namespace qv {
namespace {

constexpr int kFailPointExitCode = 77;
constexpr std::string_view kInjectedValue = "error-during-install-{}";
constexpr std::string_view kInjectedFailure = "injected write failure during {}";

// True when armed and the variable, a valid text, equals `value` exactly.
bool selected(bool armed, std::string_view value) {
  if (!armed) return false;
  const auto current = platform::environment_variable(kFailPointVariable);
  return current && is_valid_utf8(*current) && *current == value;
}

}  // namespace

void fail_point(bool armed, std::string_view name) {
  if (selected(armed, name)) platform::exit_immediately(kFailPointExitCode);
}

Status injected_install_failure(bool armed, std::uint64_t operation, const std::filesystem::path& path) {
  if (selected(armed, fmt::format(fmt::runtime(kInjectedValue), operation))) {
    return fail(fmt::format(fmt::runtime(kInjectedFailure), path.string()));
  }
  return {};
}

}  // namespace qv
