#include "platform/open_link.hpp"

#include <string>

#include "platform/environment.hpp"
#include "platform/process_spawn.hpp"

namespace qv::platform {
namespace {

constexpr const char* kOpener = "xdg-open";

constexpr const char* kEmptyLink = "the link is empty";
constexpr const char* kOptionLink = "the link begins with \"-\"";
constexpr const char* kControlInLink = "the link holds a control character";
constexpr const char* kNoOpener = "xdg-open was not found on PATH";

}  // namespace

Status open_link(std::string_view link) {
  if (link.empty()) return fail(kEmptyLink);
  if (link.front() == '-') return fail(kOptionLink);
  for (char c : link) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return fail(kControlInLink);
  }
  auto opener = find_program_on_path(kOpener);
  if (!opener) return fail(kNoOpener);
  // The root folder: the opener and the browser it may start outlive the
  // launcher and should hold no client folder open.
  QV_TRY(spawn_detached(*opener, {std::string(link)}, "/"));
  return {};
}

}  // namespace qv::platform
