#include "desktop/loaded_font.hpp"

#include <fmt/format.h>

#include "core/foundations/unicode.hpp"

namespace qv {
namespace {

// The height the check opens the face at: any usable size would do.
constexpr std::int32_t kProbeHeight = 32;

}  // namespace

Status verify_font(const LoadedFont& font) {
  std::string face;
  if (auto choice = choose_font(font.family, font.weight)) {
    // A face the system names but cannot open counts as no face at all.
    if (SizedFace::open(*choice, kProbeHeight)) face = choice->family;
  }
  if (!face.empty() && equals_ignoring_ascii_case(face, font.family)) return {};
  return fail(fmt::format("font fallback: requested {}, got {}", font.family, face));
}

}  // namespace qv
