// Unicode helpers shared by the path rules and the manifest rules.
#pragma once

#include <string>
#include <string_view>

namespace qv {

// Full Unicode lower-casing of UTF-8 text, locale independent (root locale),
// with the context-sensitive final-sigma rule. Bytes that are not valid UTF-8
// are passed through unchanged.
std::string to_lower_full(std::string_view text);

// Upper-cases (lower-cases) ASCII letters only; every other byte is kept.
std::string to_upper_ascii(std::string_view text);
std::string to_lower_ascii(std::string_view text);

// Same length and equal bytes once A-Z are folded onto a-z; every other byte
// is compared unchanged.
bool equals_ignoring_ascii_case(std::string_view a, std::string_view b);

// True when `text` is well-formed UTF-8 (no overlong forms, no surrogates).
bool is_valid_utf8(std::string_view text);

// Appends the UTF-8 form of the scalar value `cp` (at most U+10FFFF, not a
// surrogate; the caller guarantees it).
void append_utf8(std::string& out, char32_t cp);

}  // namespace qv
