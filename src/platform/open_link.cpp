#include "platform/open_link.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>

#include "platform/environment.hpp"
#include "platform/process_spawn.hpp"

namespace qv::platform {
namespace {

constexpr const char* kOpener = "xdg-open";
// What a login shell would search when PATH is unset.
constexpr const char* kDefaultPath = "/usr/local/bin:/usr/bin:/bin";

constexpr const char* kEmptyLink = "the link is empty";
constexpr const char* kOptionLink = "the link begins with \"-\"";
constexpr const char* kControlInLink = "the link holds a control character";
constexpr const char* kNoOpener = "xdg-open was not found on PATH";

std::optional<std::filesystem::path> find_opener() {
  const std::string path = environment_variable("PATH").value_or(kDefaultPath);
  std::string_view rest = path;
  while (true) {
    const std::size_t colon = rest.find(':');
    const std::string_view folder = rest.substr(0, colon);
    if (!folder.empty() && folder.front() == '/') {
      std::filesystem::path candidate = std::filesystem::path(folder) / kOpener;
      struct stat st {};
      if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(candidate.c_str(), X_OK) == 0) {
        return candidate;
      }
    }
    if (colon == std::string_view::npos) return std::nullopt;
    rest.remove_prefix(colon + 1);
  }
}

}  // namespace

Status open_link(std::string_view link) {
  if (link.empty()) return fail(kEmptyLink);
  if (link.front() == '-') return fail(kOptionLink);
  for (char c : link) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return fail(kControlInLink);
  }
  auto opener = find_opener();
  if (!opener) return fail(kNoOpener);
  // The root folder: the opener and the browser it may start outlive the
  // launcher and should hold no client folder open.
  QV_TRY(spawn_detached(*opener, {std::string(link)}, "/"));
  return {};
}

}  // namespace qv::platform
