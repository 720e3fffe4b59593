// The strict JSON reader (RFC 8259) that every JSON file of the system is read
// with, and the small writer helpers.
//
// The reader is a pull parser over a byte buffer. Errors carry the message
// followed by " at line {} column {}", the position at which reading stopped
// (lines from 1; the column counts the bytes consumed on that line, so it names
// the last byte read). The texts are one fixed family of wordings, so that
// the records of this system report the same messages whatever file they are
// read from: "missing field `x`", "unknown field `x`, expected one of ...",
// "duplicate field `x`", "invalid length N, expected ...", "invalid type: ...,
// expected ...", "trailing characters".
//
// Nesting of values that are read is bounded (128 levels); values that are
// skipped are passed over iteratively whatever their depth.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.hpp"

namespace qv::json {

class Reader {
 public:
  explicit Reader(std::string_view input) : input_(input) {}

  // Error at the current position (after the last byte consumed).
  Error error_here(std::string_view message) const;
  // Error at the next byte (the one just looked at but not consumed).
  Error error_peek(std::string_view message) const;

  // Skips JSON whitespace and returns the next byte without consuming it, or
  // nothing at the end of the input.
  std::optional<char> peek_non_ws();
  void eat() { ++index_; }
  std::size_t index() const { return index_; }

  // Typed reads of one value. `expected` names what the caller wanted, for the
  // "invalid type" message ("a string", "a boolean", "u64", ...).
  Result<std::string> read_string(std::string_view expected = "a string");
  Result<bool> read_bool(std::string_view expected = "a boolean");
  Result<std::uint64_t> read_u64(std::string_view expected = "u64");
  Result<std::uint32_t> read_u32(std::string_view expected = "u32");
  Result<std::uint8_t> read_u8(std::string_view expected = "u8");
  // Consumes `null` and returns true when the next value is null; false (and
  // nothing consumed) otherwise.
  Result<bool> read_null_if_present();
  // Reads a fixed-length array of bytes (`[1,2,...]`), each 0 to 255.
  Status read_byte_array(std::span<std::uint8_t> out);

  // Passes over one value of any kind and depth.
  Status skip_value();

  // Containers, one element at a time. `begin_*` consumes the opening bracket
  // (or fails with an "invalid type" message naming `expected`); `next_*`
  // returns false at the closing bracket without consuming it; `end_*`
  // consumes the closing bracket, "trailing characters" when more elements
  // follow.
  Status begin_array(std::string_view expected);
  Result<bool> next_element();
  Status end_array();
  Status begin_object(std::string_view expected);
  // Reads the next key (the colon is consumed by `next_value`).
  Result<std::optional<std::string>> next_key();
  Status next_value();  // consumes the ':' before a member's value
  Status end_object();

  // After the document: only whitespace may follow.
  Status finish();

  // "invalid type: {found}, expected {expected}" for the value at the current
  // position, consuming a scalar value first (so the position follows it).
  Error invalid_type(std::string_view expected);

  // Depth bookkeeping for callers that read nested records.
  Status enter();
  void leave() { ++remaining_depth_; }

 private:
  struct Number {
    enum class Kind { Unsigned, Negative, Float } kind;
    std::uint64_t unsigned_value = 0;
    std::int64_t signed_value = 0;
    double float_value = 0;
  };
  Result<Number> parse_number();
  Status parse_ident(std::string_view rest);
  Status parse_string_body(std::string* out);  // after the opening quote
  Status parse_hex4(std::uint16_t& out);

  std::string_view input_;
  std::size_t index_ = 0;
  int remaining_depth_ = 128;
  // One flag per open container: whether its next element is its first.
  std::vector<bool> first_;
  bool skipping_ = false;  // inside skip_value: grammar checks only
};

// Describes a field set for `read_struct`.
struct StructShape {
  std::string_view name;                         // "ClientConfig"
  std::span<const std::string_view> fields;      // declaration order
  std::size_t min_array_elements;                // array form: fewer is "invalid length"
  bool deny_unknown_fields;                      // object form: unknown keys refused (else skipped)
};

// Reads a record in object form (keys in any order) or array form (fields in
// declaration order). `read_field(i)` reads the value of field i; `is_required(i)`
// says whether an absent field i is an error ("missing field `{}`"). Fields
// left off the end of the array form, or absent from the object, are left to
// the caller's defaults.
Status read_struct(Reader& reader, const StructShape& shape, const std::function<Status(std::size_t)>& read_field,
                   const std::function<bool(std::size_t)>& is_required);

// Appends `text` as a JSON string in the shortest form: `"` and `\` escaped,
// \b \f \n \r \t, other control characters as \u00XX (lower-case hex); every
// other character as its UTF-8 bytes. Bytes that are not valid UTF-8 become
// U+FFFD so the output is always valid JSON.
void append_quoted(std::string& out, std::string_view text);
std::string quoted(std::string_view text);

}  // namespace qv::json
