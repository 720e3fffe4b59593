#include "platform/environment.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace qv::platform {

std::optional<std::string> environment_variable(std::string_view name) {
  const std::string key(name);
  const char* value = std::getenv(key.c_str());
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

bool is_executable_file(const std::filesystem::path& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

std::optional<std::filesystem::path> find_program_on_path(std::string_view name) {
  // What a login shell would search when PATH is unset.
  constexpr const char* kDefaultPath = "/usr/local/bin:/usr/bin:/bin";
  const std::string path = environment_variable("PATH").value_or(kDefaultPath);
  std::string_view rest = path;
  for (;;) {
    const std::size_t colon = rest.find(':');
    const std::string_view folder = rest.substr(0, colon);
    if (!folder.empty() && folder.front() == '/') {
      std::filesystem::path candidate = std::filesystem::path(folder) / name;
      if (is_executable_file(candidate)) return candidate;
    }
    if (colon == std::string_view::npos) return std::nullopt;
    rest.remove_prefix(colon + 1);
  }
}

void exit_immediately(int code) { ::_exit(code); }

}  // namespace qv::platform
