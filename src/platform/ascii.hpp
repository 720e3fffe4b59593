// ASCII letter case, for the protocol texts the platform layer itself compares
// (HTTP field names) and for the core rules built on the same folding. Only
// A-Z and a-z are folded; every other byte is compared as it is.
#pragma once

#include <cstddef>
#include <string_view>

namespace qv::platform {

constexpr char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Same length and equal bytes once A-Z are folded onto a-z.
constexpr bool equals_ignoring_ascii_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  }
  return true;
}

}  // namespace qv::platform
