#include "core/foundations/debug_text.hpp"

namespace qv {

std::string debug_quoted(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  auto hex_escape = [](std::string& out, unsigned code) {
    out += "\\u{";
    if (code >= 0x10) out += kHex[code >> 4];
    out += kHex[code & 0xF];
    out += '}';
  };
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          hex_escape(out, c);
        } else if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(text[i + 1]) < 0xA0) {
          hex_escape(out, static_cast<unsigned char>(text[++i]));  // U+0080 to U+009F
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
  return out;
}

}  // namespace qv
