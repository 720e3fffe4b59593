#include "desktop/utf16.hpp"

#include "core/foundations/unicode.hpp"

namespace qv {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one scalar value at `text[at]`, advancing `at`; a malformed
// sequence yields U+FFFD and skips its maximal ill-formed prefix (at least
// one byte).
char32_t decode_one(std::string_view text, std::size_t& at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  if (lead < 0x80) {
    ++at;
    return lead;
  }
  std::size_t length = 0;
  char32_t cp = 0;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, cp = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, cp = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    ++at;
    return kReplacement;
  }
  ++at;
  for (std::size_t k = 1; k < length; ++k) {
    if (at >= text.size()) return kReplacement;
    const unsigned char next = byte(at);
    const unsigned char lo = k == 1 ? low : 0x80;
    const unsigned char hi = k == 1 ? high : 0xBF;
    if (next < lo || next > hi) return kReplacement;
    cp = (cp << 6) | (next & 0x3F);
    ++at;
  }
  return cp;
}

}  // namespace

std::u16string utf8_to_utf16(std::string_view text) {
  std::u16string units;
  units.reserve(text.size());
  std::size_t at = 0;
  while (at < text.size()) {
    const char32_t cp = decode_one(text, at);
    if (cp >= 0x10000) {
      units.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      units.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    } else {
      units.push_back(static_cast<char16_t>(cp));
    }
  }
  return units;
}

std::string utf16_to_utf8(std::u16string_view units) {
  std::string text;
  text.reserve(units.size());
  for (std::size_t i = 0; i < units.size(); ++i) {
    const char16_t unit = units[i];
    char32_t cp = unit;
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) + (units[i + 1] - 0xDC00);
      ++i;
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      cp = kReplacement;
    }
    append_utf8(text, cp);
  }
  return text;
}

}  // namespace qv
