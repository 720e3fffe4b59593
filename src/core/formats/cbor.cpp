#include "core/formats/cbor.hpp"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>

#include "core/foundations/debug_text.hpp"
#include "core/foundations/unicode.hpp"

namespace qv {
namespace {

constexpr std::string_view kIoText = R"(Io(Error { kind: UnexpectedEof, message: "failed to fill whole buffer" }))";

double half_to_double(std::uint16_t bits) {
  const int exponent = (bits >> 10) & 0x1F;
  const int mantissa = bits & 0x3FF;
  double value;
  if (exponent == 0) {
    value = std::ldexp(mantissa, -24);
  } else if (exponent == 31) {
    value = mantissa == 0 ? INFINITY : NAN;
  } else {
    value = std::ldexp(mantissa + 1024, exponent - 25);
  }
  return (bits & 0x8000) ? -value : value;
}

// Shortest decimal that reads back as the same value, never in exponent
// form, with ".0" when it has no point.
std::string format_float(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  char buffer[400];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
  std::string text(buffer, ec == std::errc() ? end : buffer);
  if (text.find('.') == std::string::npos) text += ".0";
  return text;
}

}  // namespace

std::string CborError::to_string() const {
  switch (kind) {
    case Kind::Io: return std::string(kIoText);
    case Kind::Syntax: return "Syntax(" + std::to_string(offset) + ")";
    case Kind::Semantic: return "Semantic(None, " + debug_quoted(message) + ")";
    case Kind::RecursionLimitExceeded: return "RecursionLimitExceeded";
  }
  return {};
}

Error CborError::to_error() const { return Error(to_string()); }

CborReader::CborReader(std::span<const std::uint8_t> input, unsigned nesting_budget)
    : input_(input), budget_(nesting_budget) {}

CborReader::CborReader(std::string_view input, unsigned nesting_budget)
    : CborReader(std::span(reinterpret_cast<const std::uint8_t*>(input.data()), input.size()), nesting_budget) {}

CborResult<std::span<const std::uint8_t>> CborReader::read_raw(std::uint64_t count) {
  if (count > remaining()) return std::unexpected(CborError::io());
  auto bytes = input_.subspan(position_, static_cast<std::size_t>(count));
  position_ += static_cast<std::size_t>(count);
  return bytes;
}

CborResult<CborHead> CborReader::read_head() {
  CborHead head;
  head.offset = position_;
  auto initial = QV_TRY(read_raw(1));
  head.major = initial[0] >> 5;
  head.info = initial[0] & 0x1F;
  if (head.info < 24) {
    head.argument = head.info;
  } else if (head.info <= 27) {
    const std::size_t width = std::size_t{1} << (head.info - 24);
    auto bytes = QV_TRY(read_raw(width));
    for (std::uint8_t b : bytes) head.argument = (head.argument << 8) | b;
  } else if (head.info <= 30) {
    return std::unexpected(CborError::syntax(head.offset));
  } else if (head.major <= cbor_major::kNegative || head.major == cbor_major::kTag) {
    return std::unexpected(CborError::syntax(head.offset));
  }
  return head;
}

CborResult<CborHead> CborReader::read_head_skipping_tags() {
  for (;;) {
    CborHead head = QV_TRY(read_head());
    if (head.major != cbor_major::kTag) return head;
  }
}

CborResult<void> CborReader::read_string_body(const CborHead& head, std::string& out) {
  auto append_definite = [&](const CborHead& chunk) -> CborResult<void> {
    auto bytes = QV_TRY(read_raw(chunk.argument));
    std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (chunk.major == cbor_major::kText && !is_valid_utf8(text)) {
      return std::unexpected(CborError::syntax(chunk.offset));
    }
    out.append(text);
    return {};
  };
  if (!head.indefinite()) return append_definite(head);
  for (;;) {
    CborHead chunk = QV_TRY(read_head());
    if (chunk.is_break()) return {};
    if (chunk.major != head.major || chunk.indefinite()) return std::unexpected(CborError::syntax(chunk.offset));
    QV_TRY(append_definite(chunk));
  }
}

CborResult<void> CborReader::enter() {
  if (budget_ == 0) return std::unexpected(CborError::recursion_limit());
  --budget_;
  return {};
}

std::string cbor_integer_decimal(bool negative, CborU128 magnitude) {
  // -1 - magnitude can be one past what 128 bits hold: add the one to the
  // decimal digits as they are produced instead of to the number.
  std::string digits;
  bool carry = negative;
  do {
    unsigned digit = static_cast<unsigned>(magnitude % 10) + (carry ? 1 : 0);
    carry = digit == 10;
    digits.insert(digits.begin(), static_cast<char>('0' + digit % 10));
    magnitude /= 10;
  } while (magnitude != 0);
  if (carry) digits.insert(digits.begin(), '1');
  return negative ? "-" + digits : digits;
}

std::string describe_cbor_item(const CborHead& head) {
  using namespace cbor_major;
  switch (head.major) {
    case kUnsigned: return "integer `" + std::to_string(head.argument) + "`";
    case kNegative: return "integer `" + cbor_integer_decimal(true, head.argument) + "`";
    case kBytes: return "bytes";
    case kText: return "string";
    case kArray: return "sequence";
    case kMap: return "map";
    case kTag: return "tag";  // callers skip tags before describing
    default: break;
  }
  switch (head.info) {
    case 20: return "boolean `false`";
    case 21: return "boolean `true`";
    case 22: return "null";
    case 23: return "undefined";
    case 25: return "floating point `" + format_float(half_to_double(static_cast<std::uint16_t>(head.argument))) + "`";
    case 26:
      return "floating point `" + format_float(std::bit_cast<float>(static_cast<std::uint32_t>(head.argument))) + "`";
    case 27: return "floating point `" + format_float(std::bit_cast<double>(head.argument)) + "`";
    case 31: return "break";
    default: return "simple";
  }
}

void cbor_write_head(std::vector<std::uint8_t>& out, std::uint8_t major, std::uint64_t argument) {
  const auto initial = static_cast<std::uint8_t>(major << 5);
  int width;
  if (argument < 24) {
    out.push_back(static_cast<std::uint8_t>(initial | argument));
    return;
  } else if (argument <= 0xFF) {
    out.push_back(initial | 24);
    width = 1;
  } else if (argument <= 0xFFFF) {
    out.push_back(initial | 25);
    width = 2;
  } else if (argument <= 0xFFFFFFFF) {
    out.push_back(initial | 26);
    width = 4;
  } else {
    out.push_back(initial | 27);
    width = 8;
  }
  for (int i = width - 1; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(argument >> (8 * i)));
}

void cbor_write_text(std::vector<std::uint8_t>& out, std::string_view text) {
  cbor_write_head(out, cbor_major::kText, text.size());
  out.insert(out.end(), text.begin(), text.end());
}

}  // namespace qv
