#include "platform/environment.hpp"

#include <unistd.h>

#include <cstdlib>

namespace qv::platform {

std::optional<std::string> environment_variable(std::string_view name) {
  const std::string key(name);
  const char* value = std::getenv(key.c_str());
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

void exit_immediately(int code) { ::_exit(code); }

}  // namespace qv::platform
