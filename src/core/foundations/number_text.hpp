// Decimal numbers read from text (command-line values, header fields), with
// the parser's own fixed failure texts:
//   "cannot parse integer from empty string", "invalid digit found in
//   string", "number too large to fit in target type", "number too small to
//   fit in target type"; for floats "cannot parse float from empty string"
//   and "invalid float literal".
// No blanks are allowed anywhere.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/error.hpp"

namespace qv {

// Decimal digits with an optional leading "+".
Result<std::uint64_t> parse_u64(std::string_view text);
// Decimal digits with an optional leading "+" or "-".
Result<std::int32_t> parse_i32(std::string_view text);
// A decimal number with an optional sign, fraction and exponent, or "inf",
// "infinity" or "nan" in any case.
Result<double> parse_f64(std::string_view text);

}  // namespace qv
