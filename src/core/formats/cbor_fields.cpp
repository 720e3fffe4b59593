#include "core/formats/cbor_fields.hpp"

#include <algorithm>
#include <array>
#include <limits>

#include "core/foundations/unicode.hpp"

namespace qv {
namespace {

using namespace cbor_major;

template <class T>
using R = CborResult<T>;

// Messages of the field rules.
constexpr std::string_view kNegativeInteger = "unexpected negative integer";
constexpr std::string_view kIntegerTooLarge = "integer too large";
constexpr std::string_view kBigintTooLarge = "bigint too large";

std::unexpected<CborError> value_error(bool negative, CborU128 magnitude, std::string_view expected) {
  return cbor_semantic("invalid value: integer `" + cbor_integer_decimal(negative, magnitude) + "`, expected " +
                       std::string(expected));
}

// Bytes shown as text: each maximal ill-formed subsequence becomes U+FFFD.
std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    std::size_t need = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (lead < 0x80) {
      out += bytes[i++];
      continue;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      need = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      need = 2;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      need = 3;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    }
    std::size_t length = 1;
    while (length <= need && i + length < bytes.size()) {
      const auto c = static_cast<unsigned char>(bytes[i + length]);
      if (c < low || c > high) break;
      low = 0x80;
      high = 0xBF;
      ++length;
    }
    if (need > 0 && length == need + 1) {
      out.append(bytes.substr(i, length));
    } else {
      out += "\xEF\xBF\xBD";
    }
    i += length;
  }
  return out;
}

std::string expected_fields(std::span<const std::string_view> names) {
  std::string text = "one of ";
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += ", ";
    text += '`';
    text += names[i];
    text += '`';
  }
  return text;
}

struct Integer {
  bool negative = false;  // the value is -1 - magnitude
  CborU128 magnitude = 0;
};

R<Integer> read_bignum(CborReader& reader, const CborHead& bytes_head, bool negative) {
  std::string bytes;
  QV_TRY(reader.read_string_body(bytes_head, bytes));
  std::string_view significant(bytes);
  while (!significant.empty() && significant.front() == '\0') significant.remove_prefix(1);
  if (significant.size() > 16) return cbor_semantic(std::string(kBigintTooLarge));
  Integer value{negative, 0};
  for (char c : significant) value.magnitude = (value.magnitude << 8) | static_cast<unsigned char>(c);
  return value;
}

// An integer item, tags skipped; tag 2 or 3 before a byte string is a bignum.
R<Integer> read_integer(CborReader& reader) {
  for (;;) {
    CborHead head = QV_TRY(reader.read_head());
    if (head.major == kTag) {
      if (head.argument == 2 || head.argument == 3) {
        CborHead next = QV_TRY(reader.read_head());
        if (next.major == kBytes) return read_bignum(reader, next, head.argument == 3);
        reader.put_back(next);
      }
      continue;
    }
    if (head.major == kUnsigned) return Integer{false, head.argument};
    if (head.major == kNegative) return Integer{true, head.argument};
    return cbor_type_error(head, "integer");
  }
}

constexpr CborU128 kU64Max = std::numeric_limits<std::uint64_t>::max();

R<std::uint64_t> read_unsigned(CborReader& reader, std::uint64_t max, std::string_view kind) {
  Integer value = QV_TRY(read_integer(reader));
  if (value.negative) return cbor_semantic(std::string(kNegativeInteger));
  if (value.magnitude > kU64Max) return cbor_semantic(std::string(kIntegerTooLarge));
  if (value.magnitude > max) return value_error(false, value.magnitude, kind);
  return static_cast<std::uint64_t>(value.magnitude);
}

}  // namespace

std::unexpected<CborError> cbor_semantic(std::string message) {
  return std::unexpected(CborError::semantic(std::move(message)));
}

std::unexpected<CborError> cbor_type_error(const CborHead& found, std::string_view expected) {
  return cbor_semantic("invalid type: " + describe_cbor_item(found) + ", expected " + std::string(expected));
}

CborResult<std::uint64_t> cbor_read_u64(CborReader& reader) {
  return read_unsigned(reader, std::numeric_limits<std::uint64_t>::max(), "u64");
}
CborResult<std::uint32_t> cbor_read_u32(CborReader& reader) {
  return static_cast<std::uint32_t>(QV_TRY(read_unsigned(reader, std::numeric_limits<std::uint32_t>::max(), "u32")));
}
CborResult<std::uint8_t> cbor_read_u8(CborReader& reader) {
  return static_cast<std::uint8_t>(QV_TRY(read_unsigned(reader, 255, "u8")));
}

CborResult<std::int32_t> cbor_read_i32(CborReader& reader) {
  Integer value = QV_TRY(read_integer(reader));
  constexpr CborU128 kI64Max = std::numeric_limits<std::int64_t>::max();
  constexpr CborU128 kI32Max = std::numeric_limits<std::int32_t>::max();
  // For a negative value the magnitude is -1 - value, so the same bounds apply
  // on both sides: i64 holds magnitudes up to 2^63 - 1 either way.
  if (value.magnitude > kI64Max) return cbor_semantic(std::string(kIntegerTooLarge));
  if (value.magnitude > kI32Max) return value_error(value.negative, value.magnitude, "i32");
  const auto magnitude = static_cast<std::int32_t>(value.magnitude);
  return value.negative ? -1 - magnitude : magnitude;
}

CborResult<std::string> cbor_read_text(CborReader& reader) {
  CborHead head = QV_TRY(reader.read_head_skipping_tags());
  if (head.major != kText) return cbor_type_error(head, "string");
  std::string text;
  QV_TRY(reader.read_string_body(head, text));
  return text;
}

CborResult<void> cbor_decode_record(CborReader& reader, std::span<const std::string_view> names,
                                    const std::function<CborResult<void>(std::size_t)>& decode_field) {
  CborHead map = QV_TRY(reader.read_head_skipping_tags());
  if (map.major != kMap) return cbor_type_error(map, "map");
  QV_TRY(reader.enter());
  CborNesting nesting(reader);
  std::array<bool, 32> seen{};
  for (std::uint64_t entry = 0; map.indefinite() || entry < map.argument; ++entry) {
    // The break ends an indefinite map only where a key would begin: after a
    // tag it is no item at all, and it is refused like any other non-key.
    CborHead key = QV_TRY(reader.read_head());
    if (map.indefinite() && key.is_break()) break;
    if (key.major == kTag) {
      reader.put_back(key);
      key = QV_TRY(reader.read_head_skipping_tags());
    }
    if ((key.major != kText && key.major != kBytes) || key.indefinite() || key.argument > CborReader::kMaxKeyBytes) {
      return cbor_type_error(key, "str or bytes");
    }
    auto raw = QV_TRY(reader.read_raw(key.argument));
    std::string_view name(reinterpret_cast<const char*>(raw.data()), raw.size());
    if (key.major == kText && !is_valid_utf8(name)) return std::unexpected(CborError::syntax(key.offset));
    auto found = std::find(names.begin(), names.end(), name);
    if (found == names.end()) {
      return cbor_semantic("unknown field `" + utf8_lossy(name) + "`, expected " + expected_fields(names));
    }
    const auto index = static_cast<std::size_t>(found - names.begin());
    if (seen[index]) return cbor_semantic("duplicate field `" + std::string(names[index]) + "`");
    seen[index] = true;
    QV_TRY(decode_field(index));
  }
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (!seen[i]) return cbor_semantic("missing field `" + std::string(names[i]) + "`");
  }
  return {};
}

}  // namespace qv
