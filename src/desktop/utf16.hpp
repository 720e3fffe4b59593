// UTF-16 conversions for font names and for text measured unit by unit.
#pragma once

#include <string>
#include <string_view>

namespace qv {

// The UTF-16 units of UTF-8 text; each byte sequence that is not well-formed
// UTF-8 becomes U+FFFD.
std::u16string utf8_to_utf16(std::string_view text);

// UTF-8 text from UTF-16 units; an unpaired surrogate becomes U+FFFD.
std::string utf16_to_utf8(std::u16string_view units);

}  // namespace qv
