// Quoting text the way error messages show a string value.
#pragma once

#include <string>
#include <string_view>

namespace qv {

// `text` between double quotes, with a backslash before a quote or backslash,
// \n, \r, \t and \0 for those controls, and \u{hex} for every other control
// character (C0, DEL and C1). Other characters, invalid UTF-8 bytes included,
// are kept as they are. Pure; any thread.
std::string debug_quoted(std::string_view text);

}  // namespace qv
