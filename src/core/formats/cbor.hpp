// CBOR reading and writing primitives of the release formats.
//
// The reader works over bytes already in memory and never trusts a declared
// length: every length is checked against the bytes that remain before it is
// used, so a short or hostile input ends in an error, never in a large
// allocation or a read past the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.hpp"

namespace qv {

// A decoding error of the release formats.
struct CborError {
  enum class Kind { Io, Syntax, Semantic, RecursionLimitExceeded };

  Kind kind = Kind::Io;
  std::uint64_t offset = 0;  // Syntax: offset of the head of the item at fault
  std::string message;       // Semantic: the broken rule

  static CborError io() { return {Kind::Io, 0, {}}; }
  static CborError syntax(std::uint64_t offset) { return {Kind::Syntax, offset, {}}; }
  static CborError semantic(std::string message) { return {Kind::Semantic, 0, std::move(message)}; }
  static CborError recursion_limit() { return {Kind::RecursionLimitExceeded, 0, {}}; }

  // The fixed diagnostic form: Semantic(None, "<escaped message>"),
  // Syntax(<offset>), the Io end-of-input text, or RecursionLimitExceeded.
  std::string to_string() const;
  // An error value without a cause whose message is to_string().
  Error to_error() const;

  bool operator==(const CborError&) const = default;
};

template <class T>
using CborResult = std::expected<T, CborError>;

// One head: the initial byte split into major type and additional
// information, and its argument.
struct CborHead {
  std::uint8_t major = 0;
  std::uint8_t info = 0;       // low 5 bits of the initial byte
  std::uint64_t argument = 0;  // value, length, count, tag, simple value or float bits
  std::size_t offset = 0;      // where the head starts in the input

  bool indefinite() const { return info == 31 && major >= 2 && major <= 5; }
  bool is_break() const { return major == 7 && info == 31; }
};

namespace cbor_major {
inline constexpr std::uint8_t kUnsigned = 0, kNegative = 1, kBytes = 2, kText = 3, kArray = 4, kMap = 5, kTag = 6,
                              kSimple = 7;
}

// Decoding state over one byte sequence. Not thread-safe; the input is
// borrowed and must outlive the reader.
class CborReader {
 public:
  static constexpr unsigned kNestingBudget = 256;
  static constexpr std::size_t kMaxKeyBytes = 4096;

  // Position 0, a full nesting budget and nothing put back. A smaller budget
  // is accepted so that the limit, which valid input never reaches, can be
  // exercised.
  explicit CborReader(std::span<const std::uint8_t> input, unsigned nesting_budget = kNestingBudget);
  explicit CborReader(std::string_view input, unsigned nesting_budget = kNestingBudget);

  // Byte offset of the next unread byte.
  std::size_t position() const { return position_; }
  std::size_t remaining() const { return input_.size() - position_; }

  // The next head. Malformed heads (additional information 28 to 30, an
  // indefinite integer or tag) fail with Syntax; an early end with Io.
  CborResult<CborHead> read_head();
  // Like read_head, skipping any tags in front of the item.
  CborResult<CborHead> read_head_skipping_tags();
  // Makes `head` the next head read again.
  void put_back(const CborHead& head) { position_ = head.offset; }

  // The next `count` bytes, or Io when fewer remain.
  CborResult<std::span<const std::uint8_t>> read_raw(std::uint64_t count);

  // The content of a byte or text string whose head was just read: definite,
  // or definite chunks of the same kind up to a break (another chunk kind is
  // Syntax at its head). Text must be UTF-8 (Syntax at the head of the string
  // or chunk at fault). Appends to `out`; grows only as bytes arrive.
  CborResult<void> read_string_body(const CborHead& head, std::string& out);

  // Takes one unit of nesting budget (RecursionLimitExceeded when none is
  // left); leave() gives it back.
  CborResult<void> enter();
  void leave() { ++budget_; }

 private:
  std::span<const std::uint8_t> input_;
  std::size_t position_ = 0;
  unsigned budget_;
};

__extension__ using CborU128 = unsigned __int128;

// Decimal text of the integer `magnitude` (negative false) or -1 - magnitude
// (negative true), as CBOR's two integer kinds and bignums carry them.
std::string cbor_integer_decimal(bool negative, CborU128 magnitude);

// Gives a nesting unit taken with CborReader::enter back however the scope
// ends.
class CborNesting {
 public:
  explicit CborNesting(CborReader& reader) : reader_(reader) {}
  ~CborNesting() { reader_.leave(); }
  CborNesting(const CborNesting&) = delete;
  CborNesting& operator=(const CborNesting&) = delete;

 private:
  CborReader& reader_;
};

// "bytes", "string", "integer `5`", "floating point `1.5`", ... : how a type
// error describes the item that a head starts.
std::string describe_cbor_item(const CborHead& head);

// Appends a head in its shortest form.
void cbor_write_head(std::vector<std::uint8_t>& out, std::uint8_t major, std::uint64_t argument);
void cbor_write_text(std::vector<std::uint8_t>& out, std::string_view text);

}  // namespace qv
