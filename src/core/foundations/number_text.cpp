#include "core/foundations/number_text.hpp"

#include <charconv>
#include <cstdlib>
#include <limits>
#include <string>

namespace qv {
namespace {

constexpr std::string_view kEmpty = "cannot parse integer from empty string";
constexpr std::string_view kInvalidDigit = "invalid digit found in string";
constexpr std::string_view kTooLarge = "number too large to fit in target type";
constexpr std::string_view kTooSmall = "number too small to fit in target type";
constexpr std::string_view kFloatEmpty = "cannot parse float from empty string";
constexpr std::string_view kInvalidFloat = "invalid float literal";

bool all_digits(std::string_view digits) {
  if (digits.empty()) return false;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// The magnitude of a run of digits, or "too large" past `limit`.
Result<std::uint64_t> magnitude(std::string_view digits, std::uint64_t limit, std::string_view too_far) {
  if (!all_digits(digits)) return fail(std::string(kInvalidDigit));
  std::uint64_t value = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (ec == std::errc::result_out_of_range || (ec == std::errc() && value > limit)) return fail(std::string(too_far));
  if (ec != std::errc() || end != digits.data() + digits.size()) return fail(std::string(kInvalidDigit));
  return value;
}

}  // namespace

Result<std::uint64_t> parse_u64(std::string_view text) {
  if (text.empty()) return fail(std::string(kEmpty));
  if (text.front() == '+') text.remove_prefix(1);
  return magnitude(text, std::numeric_limits<std::uint64_t>::max(), kTooLarge);
}

Result<std::int32_t> parse_i32(std::string_view text) {
  if (text.empty()) return fail(std::string(kEmpty));
  const bool negative = text.front() == '-';
  if (negative || text.front() == '+') text.remove_prefix(1);
  constexpr std::uint64_t kMax = std::numeric_limits<std::int32_t>::max();
  const std::uint64_t value = QV_TRY(magnitude(text, negative ? kMax + 1 : kMax, negative ? kTooSmall : kTooLarge));
  return negative ? static_cast<std::int32_t>(-static_cast<std::int64_t>(value)) : static_cast<std::int32_t>(value);
}

Result<double> parse_f64(std::string_view text) {
  if (text.empty()) return fail(std::string(kFloatEmpty));
  std::string_view body = text;
  const bool negative = body.front() == '-';
  if (negative || body.front() == '+') body.remove_prefix(1);
  // from_chars takes no sign of its own here, so "+-1" and "--1" stay invalid.
  if (body.empty() || body.front() == '+' || body.front() == '-') return fail(std::string(kInvalidFloat));
  double value = 0;
  const auto [end, ec] = std::from_chars(body.data(), body.data() + body.size(), value);
  if (end != body.data() + body.size()) return fail(std::string(kInvalidFloat));
  if (ec == std::errc::result_out_of_range) {
    // Too large overflows to infinity, too small underflows towards zero;
    // the text is well formed, so the C reader tells which it is.
    value = std::strtod(std::string(body).c_str(), nullptr);
  } else if (ec != std::errc()) {
    return fail(std::string(kInvalidFloat));
  }
  return negative ? -value : value;
}

}  // namespace qv
