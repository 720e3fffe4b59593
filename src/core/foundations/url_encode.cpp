// UTF-8 decoding and encoding and the percent-encode sets of the URL parser.
#include <cstdint>

#include "core/foundations/unicode.hpp"
#include "core/foundations/url_internal.hpp"

namespace qv::url_detail {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool in_set(unsigned char b, EncodeSet set) {
  if (b < 0x20 || b > 0x7E) return true;
  auto any_of = [b](std::string_view chars) { return chars.find(static_cast<char>(b)) != std::string_view::npos; };
  switch (set) {
    case EncodeSet::C0Control:
      return false;
    case EncodeSet::Fragment:
      return any_of(" \"<>`");
    case EncodeSet::Query:
      return any_of(" \"#<>");
    case EncodeSet::SpecialQuery:
      return any_of(" \"#<>'");
    case EncodeSet::Path:
      return any_of(" \"#<>?^`{}");
    case EncodeSet::Userinfo:
      return any_of(" \"#<>?^`{}/:;=@[\\]|");
  }
  return true;
}

}  // namespace

void append_percent_encoded(std::string& out, char32_t cp, EncodeSet set) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string bytes;
  append_utf8(bytes, cp);
  for (unsigned char b : bytes) {
    if (in_set(b, set)) {
      out += '%';
      out += kHex[b >> 4];
      out += kHex[b & 0xF];
    } else {
      out += static_cast<char>(b);
    }
  }
}

std::u32string decode_utf8(std::string_view text) {
  std::u32string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const auto b0 = static_cast<unsigned char>(text[i]);
    if (b0 < 0x80) {
      out += static_cast<char32_t>(b0);
      ++i;
      continue;
    }
    std::size_t len = 0;
    char32_t cp = 0;
    char32_t min = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
      len = 2, cp = b0 & 0x1F, min = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      len = 3, cp = b0 & 0x0F, min = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      len = 4, cp = b0 & 0x07, min = 0x10000;
    }
    // Consume the longest valid prefix of a sequence, so that one bad byte
    // costs one replacement character and the next lead byte is kept.
    std::size_t used = 1;
    bool ok = len != 0;
    while (ok && used < len) {
      if (i + used >= text.size()) {
        ok = false;
        break;
      }
      const auto b = static_cast<unsigned char>(text[i + used]);
      if ((b & 0xC0) != 0x80) {
        ok = false;
        break;
      }
      cp = (cp << 6) | (b & 0x3F);
      ++used;
      // Overlong forms, surrogates and values above U+10FFFF show after the
      // second byte.
      if (used == 2 && len >= 3) {
        const char32_t top = cp << (6 * (len - 2));
        if (top < min || top > 0x10FFFF || (top >= 0xD800 && top <= 0xDFFF)) {
          ok = false;
          used = 1;
          break;
        }
      }
    }
    out += ok ? cp : kReplacement;
    i += used;
  }
  return out;
}

}  // namespace qv::url_detail
