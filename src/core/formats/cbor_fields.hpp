// The field rules shared by the records of the release formats: how a record
// (a CBOR map with a fixed list of required fields) is read, and how its
// integer and text values are read, with the exact messages of each broken
// rule.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "core/formats/cbor.hpp"

namespace qv {

// A Semantic error carrying `message`.
std::unexpected<CborError> cbor_semantic(std::string message);
// "invalid type: {description of found}, expected {expected}".
std::unexpected<CborError> cbor_type_error(const CborHead& found, std::string_view expected);

// Reads one record: a map (tags in front skipped; definite or indefinite)
// whose keys, text or byte strings of at most 4096 bytes, are each one of
// `names` exactly and appear once. `decode_field(i)` reads the value of
// names[i]. Fails on a foreign key ("unknown field ..., expected one of ..."),
// a repeated key (before its value), the first error of a value, and at the
// end on the first field, in `names` order, that was not read. Takes one unit
// of nesting budget while it reads. At most 32 names.
CborResult<void> cbor_decode_record(CborReader& reader, std::span<const std::string_view> names,
                                    const std::function<CborResult<void>(std::size_t)>& decode_field);

// Integer fields: tags skipped, tag 2 or 3 before a byte string read as a
// bignum. Negative values for the unsigned kinds fail with "unexpected
// negative integer", values beyond 64 bits with "integer too large", values
// beyond the kind with "invalid value: integer `N`, expected u32" (u8, i32),
// other items with the type error expecting "integer".
CborResult<std::uint64_t> cbor_read_u64(CborReader& reader);
CborResult<std::uint32_t> cbor_read_u32(CborReader& reader);
CborResult<std::uint8_t> cbor_read_u8(CborReader& reader);
CborResult<std::int32_t> cbor_read_i32(CborReader& reader);

// A text field: a text string, definite or chunked; other items fail with the
// type error expecting "string".
CborResult<std::string> cbor_read_text(CborReader& reader);

}  // namespace qv
