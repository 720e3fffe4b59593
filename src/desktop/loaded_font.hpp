// The button-label font: added to the process at start-up, held by the window
// state for the life of the window, and checked once that the system really
// gives the face asked for.
#pragma once

#include <cstdint>
#include <string>

#include "platform/error.hpp"
#include "desktop/font_binding.hpp"

namespace qv {

struct LoadedFont {
  // The face name asked for: "Cinzel Decorative", or the family given for a
  // preview font file.
  std::string family;
  // The font added privately (from memory or from a file); releasing the
  // record removes it from the process.
  PrivateFont source;
  // 700 for the embedded font; 100 to 900 for a preview font.
  std::int32_t weight = 700;
};

inline constexpr const char* kLabelFontFamily = "Cinzel Decorative";
inline constexpr std::int32_t kLabelFontWeight = 700;

// Succeeds when the face the system gives for the font's family and weight
// has that very family, ASCII case aside (same byte length, letters compared
// without case). Otherwise "font fallback: requested {family}, got {face}",
// the face being empty when the system gives none.
Status verify_font(const LoadedFont& font);

}  // namespace qv
