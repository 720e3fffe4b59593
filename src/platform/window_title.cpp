#include "platform/window_title.hpp"

#include <X11/Xatom.h>

#include <algorithm>

namespace qv::platform::x11 {
namespace {

void change_text(Connection& connection, ::Window window, Atom property, Atom type, const std::string& bytes) {
  XChangeProperty(connection.display(), window, property, type, 8, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
}

}  // namespace

LegacyName legacy_name(std::string_view utf8) {
  const std::u32string text = decode_utf8(utf8);
  if (std::all_of(text.begin(), text.end(), [](char32_t c) { return c <= 0xFF; })) {
    LegacyName name;
    name.bytes.reserve(text.size());
    for (const char32_t c : text) name.bytes.push_back(static_cast<char>(static_cast<unsigned char>(c)));
    return name;
  }
  return LegacyName{false, valid_utf8(utf8)};
}

void set_window_title(Connection& connection, ::Window window, std::string_view utf8) {
  const Atom utf8_string = connection.atom("UTF8_STRING");
  change_text(connection, window, connection.atom("_NET_WM_NAME"), utf8_string, valid_utf8(utf8));
  const LegacyName legacy = legacy_name(utf8);
  change_text(connection, window, XA_WM_NAME, legacy.latin1 ? XA_STRING : utf8_string, legacy.bytes);
}

}  // namespace qv::platform::x11
