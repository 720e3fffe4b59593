#include "core/foundations/json.hpp"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include <fmt/format.h>

#include "core/foundations/debug_text.hpp"
#include "core/foundations/unicode.hpp"

namespace qv::json {
namespace {

bool is_ws(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::string float_text(double v) {
  std::string s = fmt::format("{}", v);
  if (s.find_first_of(".eEn") == std::string::npos) s += ".0";
  return s;
}

// Length of the well-formed UTF-8 sequence at s[i], or 0 when it is not one.
std::size_t utf8_sequence_length(std::string_view s, std::size_t i) {
  auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = b(i);
  if (c < 0x80) return 1;
  std::size_t n;
  std::uint32_t min;
  if ((c & 0xE0) == 0xC0) {
    n = 2;
    min = 0x80;
  } else if ((c & 0xF0) == 0xE0) {
    n = 3;
    min = 0x800;
  } else if ((c & 0xF8) == 0xF0) {
    n = 4;
    min = 0x10000;
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  std::uint32_t cp = c & (0x7F >> n);
  for (std::size_t k = 1; k < n; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b(i + k) & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return n;
}

}  // namespace

// ---- positions and errors ----------------------------------------------------

namespace {
Error positioned(std::string_view input, std::size_t i, std::string_view message) {
  std::size_t line = 1;
  std::size_t start_of_line = 0;
  for (std::size_t k = 0; k < i && k < input.size(); ++k) {
    if (input[k] == '\n') {
      ++line;
      start_of_line = k + 1;
    }
  }
  return Error(fmt::format("{} at line {} column {}", message, line, i - start_of_line));
}
}  // namespace

Error Reader::error_here(std::string_view message) const { return positioned(input_, index_, message); }

Error Reader::error_peek(std::string_view message) const {
  return positioned(input_, std::min(input_.size(), index_ + 1), message);
}

std::optional<char> Reader::peek_non_ws() {
  while (index_ < input_.size() && is_ws(input_[index_])) ++index_;
  if (index_ >= input_.size()) return std::nullopt;
  return input_[index_];
}

Status Reader::enter() {
  if (--remaining_depth_ < 0) {
    ++remaining_depth_;
    return std::unexpected(error_here("recursion limit exceeded"));
  }
  return {};
}

// ---- scalars ----------------------------------------------------------------

Status Reader::parse_ident(std::string_view rest) {
  for (char c : rest) {
    if (index_ >= input_.size()) return std::unexpected(error_here("EOF while parsing a value"));
    if (input_[index_] != c) {
      ++index_;
      return std::unexpected(error_here("expected ident"));
    }
    ++index_;
  }
  return {};
}

Result<Reader::Number> Reader::parse_number() {
  // Strict RFC 8259 grammar: -? (0 | [1-9][0-9]*) (. [0-9]+)? ([eE] [+-]? [0-9]+)?
  std::size_t start = index_;
  bool negative = false;
  if (index_ < input_.size() && input_[index_] == '-') {
    negative = true;
    ++index_;
  }
  auto digit = [&](std::size_t k) { return k < input_.size() && input_[k] >= '0' && input_[k] <= '9'; };
  if (!digit(index_)) {
    if (index_ < input_.size()) ++index_;
    return std::unexpected(error_here("invalid number"));
  }
  std::size_t int_start = index_;
  if (input_[index_] == '0') {
    ++index_;
    if (digit(index_)) {
      ++index_;
      return std::unexpected(error_here("invalid number"));
    }
  } else {
    while (digit(index_)) ++index_;
  }
  std::size_t int_end = index_;
  bool is_float = false;
  if (index_ < input_.size() && input_[index_] == '.') {
    is_float = true;
    ++index_;
    if (!digit(index_)) {
      if (index_ < input_.size()) ++index_;
      return std::unexpected(error_here("invalid number"));
    }
    while (digit(index_)) ++index_;
  }
  if (index_ < input_.size() && (input_[index_] == 'e' || input_[index_] == 'E')) {
    is_float = true;
    ++index_;
    if (index_ < input_.size() && (input_[index_] == '+' || input_[index_] == '-')) ++index_;
    if (!digit(index_)) {
      if (index_ < input_.size()) ++index_;
      return std::unexpected(error_here("invalid number"));
    }
    while (digit(index_)) ++index_;
  }
  Number n{};
  if (!is_float) {
    // Accumulate with overflow detection; an integer beyond 64 bits is kept as
    // a floating-point value, as it can then only be refused.
    std::uint64_t value = 0;
    bool overflow = false;
    for (std::size_t k = int_start; k < int_end; ++k) {
      std::uint64_t d = static_cast<std::uint64_t>(input_[k] - '0');
      if (value > (UINT64_MAX - d) / 10) {
        overflow = true;
        break;
      }
      value = value * 10 + d;
    }
    if (!overflow && !negative) {
      n.kind = Number::Kind::Unsigned;
      n.unsigned_value = value;
      return n;
    }
    if (!overflow && negative && value <= static_cast<std::uint64_t>(INT64_MAX) + 1) {
      n.kind = Number::Kind::Negative;
      n.signed_value = value == static_cast<std::uint64_t>(INT64_MAX) + 1 ? INT64_MIN : -static_cast<std::int64_t>(value);
      // "-0" is no unsigned integer: it reads as the floating-point -0.0.
      if (value != 0) return n;
    }
  }
  if (skipping_) {
    // A skipped value needs only the grammar: its size does not matter.
    n.kind = Number::Kind::Float;
    return n;
  }
  std::string text(input_.substr(start, index_ - start));
  double v = std::strtod(text.c_str(), nullptr);
  if (std::isinf(v)) return std::unexpected(error_here("number out of range"));
  n.kind = Number::Kind::Float;
  n.float_value = v;
  return n;
}

Status Reader::parse_hex4(std::uint16_t& out) {
  out = 0;
  for (int k = 0; k < 4; ++k) {
    if (index_ >= input_.size()) return std::unexpected(error_here("EOF while parsing a string"));
    char c = input_[index_++];
    int v;
    if (c >= '0' && c <= '9') {
      v = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      v = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      v = c - 'A' + 10;
    } else {
      return std::unexpected(error_here("invalid escape"));
    }
    out = static_cast<std::uint16_t>(out * 16 + v);
  }
  return {};
}

Status Reader::parse_string_body(std::string* out) {
  for (;;) {
    if (index_ >= input_.size()) return std::unexpected(error_here("EOF while parsing a string"));
    unsigned char c = static_cast<unsigned char>(input_[index_]);
    if (c == '"') {
      ++index_;
      return {};
    }
    if (c < 0x20) {
      ++index_;
      return std::unexpected(error_here("control character (\\u0000-\\u001F) found while parsing a string"));
    }
    if (c == '\\') {
      ++index_;
      if (index_ >= input_.size()) return std::unexpected(error_here("EOF while parsing a string"));
      char e = input_[index_++];
      char simple = 0;
      switch (e) {
        case '"': simple = '"'; break;
        case '\\': simple = '\\'; break;
        case '/': simple = '/'; break;
        case 'b': simple = '\b'; break;
        case 'f': simple = '\f'; break;
        case 'n': simple = '\n'; break;
        case 'r': simple = '\r'; break;
        case 't': simple = '\t'; break;
        case 'u': {
          std::uint16_t unit;
          QV_TRY(parse_hex4(unit));
          std::uint32_t cp = unit;
          // A skipped string is never decoded, so its escapes need only be well formed.
          if (skipping_) continue;
          if (unit >= 0xDC00 && unit <= 0xDFFF) return std::unexpected(error_here("lone leading surrogate in hex escape"));
          if (unit >= 0xD800 && unit <= 0xDBFF) {
            if (index_ + 1 >= input_.size() || input_[index_] != '\\' || input_[index_ + 1] != 'u') {
              if (index_ < input_.size()) ++index_;
              return std::unexpected(error_here("unexpected end of hex escape"));
            }
            index_ += 2;
            std::uint16_t low;
            QV_TRY(parse_hex4(low));
            if (low < 0xDC00 || low > 0xDFFF) return std::unexpected(error_here("lone leading surrogate in hex escape"));
            cp = 0x10000 + ((static_cast<std::uint32_t>(unit) - 0xD800) << 10) + (low - 0xDC00);
          }
          if (out != nullptr) append_utf8(*out, cp);
          continue;
        }
        default:
          return std::unexpected(error_here("invalid escape"));
      }
      if (out != nullptr) *out += simple;
      continue;
    }
    if (c < 0x80) {
      if (out != nullptr) *out += static_cast<char>(c);
      ++index_;
      continue;
    }
    std::size_t n = utf8_sequence_length(input_, index_);
    if (n == 0) {
      ++index_;
      return std::unexpected(error_here("invalid unicode code point"));
    }
    if (out != nullptr) out->append(input_.substr(index_, n));
    index_ += n;
  }
}

Error Reader::invalid_type(std::string_view expected) {
  auto found = peek_non_ws();
  std::string what;
  if (!found) return error_peek("EOF while parsing a value");
  switch (*found) {
    case 'n':
      ++index_;
      if (auto s = parse_ident("ull"); !s) return s.error();
      what = "null";
      break;
    case 't':
      ++index_;
      if (auto s = parse_ident("rue"); !s) return s.error();
      what = "boolean `true`";
      break;
    case 'f':
      ++index_;
      if (auto s = parse_ident("alse"); !s) return s.error();
      what = "boolean `false`";
      break;
    case '"': {
      ++index_;
      std::string s;
      if (auto st = parse_string_body(&s); !st) return st.error();
      what = "string " + debug_quoted(s);
      break;
    }
    case '[': what = "sequence"; break;
    case '{': what = "map"; break;
    default:
      if (*found == '-' || (*found >= '0' && *found <= '9')) {
        auto n = parse_number();
        if (!n) return n.error();
        if (n->kind == Number::Kind::Unsigned) {
          what = fmt::format("integer `{}`", n->unsigned_value);
        } else if (n->kind == Number::Kind::Negative) {
          what = fmt::format("integer `{}`", n->signed_value);
        } else {
          what = fmt::format("floating point `{}`", float_text(n->float_value));
        }
      } else {
        return error_peek("expected value");
      }
  }
  return error_here(fmt::format("invalid type: {}, expected {}", what, expected));
}

Result<std::string> Reader::read_string(std::string_view expected) {
  auto c = peek_non_ws();
  if (!c) return std::unexpected(error_peek("EOF while parsing a value"));
  if (*c != '"') return std::unexpected(invalid_type(expected));
  ++index_;
  std::string out;
  QV_TRY(parse_string_body(&out));
  return out;
}

Result<bool> Reader::read_bool(std::string_view expected) {
  auto c = peek_non_ws();
  if (!c) return std::unexpected(error_peek("EOF while parsing a value"));
  if (*c == 't') {
    ++index_;
    QV_TRY(parse_ident("rue"));
    return true;
  }
  if (*c == 'f') {
    ++index_;
    QV_TRY(parse_ident("alse"));
    return false;
  }
  return std::unexpected(invalid_type(expected));
}

Result<std::uint64_t> Reader::read_u64(std::string_view expected) {
  auto c = peek_non_ws();
  if (!c) return std::unexpected(error_peek("EOF while parsing a value"));
  if (*c != '-' && !(*c >= '0' && *c <= '9')) return std::unexpected(invalid_type(expected));
  auto n = QV_TRY(parse_number());
  switch (n.kind) {
    case Number::Kind::Unsigned: return n.unsigned_value;
    case Number::Kind::Negative:
      return std::unexpected(
          error_here(fmt::format("invalid value: integer `{}`, expected {}", n.signed_value, expected)));
    case Number::Kind::Float: break;
  }
  return std::unexpected(
      error_here(fmt::format("invalid type: floating point `{}`, expected {}", float_text(n.float_value), expected)));
}

Result<std::uint32_t> Reader::read_u32(std::string_view expected) {
  auto v = QV_TRY(read_u64(expected));
  if (v > UINT32_MAX) return std::unexpected(error_here(fmt::format("invalid value: integer `{}`, expected {}", v, expected)));
  return static_cast<std::uint32_t>(v);
}

Result<std::uint8_t> Reader::read_u8(std::string_view expected) {
  auto v = QV_TRY(read_u64(expected));
  if (v > 255) return std::unexpected(error_here(fmt::format("invalid value: integer `{}`, expected {}", v, expected)));
  return static_cast<std::uint8_t>(v);
}

Result<bool> Reader::read_null_if_present() {
  auto c = peek_non_ws();
  if (c && *c == 'n') {
    ++index_;
    QV_TRY(parse_ident("ull"));
    return true;
  }
  return false;
}

Status Reader::read_byte_array(std::span<std::uint8_t> out) {
  const std::string expected = fmt::format("an array of length {}", out.size());
  QV_TRY(begin_array(expected));
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (!QV_TRY(next_element())) {
      // Consume the closing bracket so the position follows the array.
      QV_TRY(end_array());
      return std::unexpected(error_here(fmt::format("invalid length {}, expected {}", i, expected)));
    }
    out[i] = QV_TRY(read_u8());
  }
  return end_array();
}

// ---- containers -------------------------------------------------------------

Status Reader::begin_array(std::string_view expected) {
  auto c = peek_non_ws();
  if (!c) return std::unexpected(error_peek("EOF while parsing a value"));
  if (*c != '[') return std::unexpected(invalid_type(expected));
  QV_TRY(enter());
  ++index_;
  first_.push_back(true);
  return {};
}

Result<bool> Reader::next_element() {
  auto c = peek_non_ws();
  if (!c) return std::unexpected(error_peek("EOF while parsing a list"));
  if (*c == ']') return false;
  if (*c == ',' && !first_.back()) {
    ++index_;
    c = peek_non_ws();
  } else if (!first_.back()) {
    return std::unexpected(error_peek("expected `,` or `]`"));
  }
  first_.back() = false;
  if (!c) return std::unexpected(error_peek("EOF while parsing a value"));
  if (*c == ']') return std::unexpected(error_peek("trailing comma"));
  return true;
}

Status Reader::end_array() {
  auto c = peek_non_ws();
  if (c && *c == ']') {
    ++index_;
    first_.pop_back();
    leave();
    return {};
  }
  if (c && *c == ',') {
    ++index_;
    auto d = peek_non_ws();
    if (d && *d == ']') return std::unexpected(error_peek("trailing comma"));
    return std::unexpected(error_peek("trailing characters"));
  }
  if (c) return std::unexpected(error_peek("trailing characters"));
  return std::unexpected(error_peek("EOF while parsing a list"));
}

Status Reader::begin_object(std::string_view expected) {
  auto c = peek_non_ws();
  if (!c) return std::unexpected(error_peek("EOF while parsing a value"));
  if (*c != '{') return std::unexpected(invalid_type(expected));
  QV_TRY(enter());
  ++index_;
  first_.push_back(true);
  return {};
}

Result<std::optional<std::string>> Reader::next_key() {
  auto c = peek_non_ws();
  if (!c) return std::unexpected(error_peek("EOF while parsing an object"));
  if (*c == '}') return std::optional<std::string>();
  if (*c == ',' && !first_.back()) {
    ++index_;
    c = peek_non_ws();
  } else if (!first_.back()) {
    return std::unexpected(error_peek("expected `,` or `}`"));
  }
  first_.back() = false;
  if (!c) return std::unexpected(error_peek("EOF while parsing a value"));
  if (*c == '}') return std::unexpected(error_peek("trailing comma"));
  if (*c != '"') return std::unexpected(error_peek("key must be a string"));
  ++index_;
  std::string key;
  QV_TRY(parse_string_body(&key));
  return std::optional<std::string>(std::move(key));
}

Status Reader::next_value() {
  auto c = peek_non_ws();
  if (!c) return std::unexpected(error_peek("EOF while parsing an object"));
  if (*c != ':') return std::unexpected(error_peek("expected `:`"));
  ++index_;
  return {};
}

Status Reader::end_object() {
  auto c = peek_non_ws();
  if (c && *c == '}') {
    ++index_;
    first_.pop_back();
    leave();
    return {};
  }
  if (c && *c == ',') return std::unexpected(error_peek("trailing comma"));
  if (c) return std::unexpected(error_peek("trailing characters"));
  return std::unexpected(error_peek("EOF while parsing an object"));
}

Status Reader::skip_value() {
  // Iterative, so the depth of a skipped value costs memory proportional to
  // the input, never stack.
  skipping_ = true;
  struct Reset {
    bool& flag;
    ~Reset() { flag = false; }
  } reset{skipping_};
  std::vector<char> open;  // ']' or '}' for each open container
  std::vector<bool> first;
  bool expect_value = true;
  for (;;) {
    if (expect_value) {
      auto c = peek_non_ws();
      if (!c) return std::unexpected(error_peek("EOF while parsing a value"));
      switch (*c) {
        case '[':
        case '{': {
          ++index_;
          char close = *c == '[' ? ']' : '}';
          auto d = peek_non_ws();
          if (d && *d == close) {
            ++index_;
            break;  // an empty container is a complete value
          }
          open.push_back(close);
          first.push_back(true);
          if (close == '}') {
            if (!d) return std::unexpected(error_peek("EOF while parsing an object"));
            if (*d != '"') return std::unexpected(error_peek("key must be a string"));
            ++index_;
            QV_TRY(parse_string_body(nullptr));
            QV_TRY(next_value());
          }
          continue;
        }
        case '"':
          ++index_;
          QV_TRY(parse_string_body(nullptr));
          break;
        case 'n':
          ++index_;
          QV_TRY(parse_ident("ull"));
          break;
        case 't':
          ++index_;
          QV_TRY(parse_ident("rue"));
          break;
        case 'f':
          ++index_;
          QV_TRY(parse_ident("alse"));
          break;
        default:
          if (*c == '-' || (*c >= '0' && *c <= '9')) {
            QV_TRY(parse_number());
          } else {
            return std::unexpected(error_peek("expected value"));
          }
      }
    }
    // A value is complete; close containers or move to the next element.
    if (open.empty()) return {};
    char close = open.back();
    auto c = peek_non_ws();
    if (!c) return std::unexpected(error_peek(close == ']' ? "EOF while parsing a list" : "EOF while parsing an object"));
    if (*c == close) {
      ++index_;
      open.pop_back();
      first.pop_back();
      expect_value = false;
      continue;
    }
    if (*c != ',') return std::unexpected(error_peek(close == ']' ? "expected `,` or `]`" : "expected `,` or `}`"));
    ++index_;
    auto d = peek_non_ws();
    if (d && *d == close) return std::unexpected(error_peek("trailing comma"));
    if (close == '}') {
      if (!d) return std::unexpected(error_peek("EOF while parsing a value"));
      if (*d != '"') return std::unexpected(error_peek("key must be a string"));
      ++index_;
      QV_TRY(parse_string_body(nullptr));
      QV_TRY(next_value());
    }
    expect_value = true;
  }
}

Status Reader::finish() {
  if (peek_non_ws()) return std::unexpected(error_peek("trailing characters"));
  return {};
}

// ---- records ----------------------------------------------------------------

namespace {
std::string one_of(std::span<const std::string_view> fields) {
  switch (fields.size()) {
    case 0: return "there are no fields";
    case 1: return fmt::format("`{}`", fields[0]);
    case 2: return fmt::format("`{}` or `{}`", fields[0], fields[1]);
    default: break;
  }
  std::string out = "one of ";
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) out += ", ";
    out += fmt::format("`{}`", fields[i]);
  }
  return out;
}
}  // namespace

Status read_struct(Reader& reader, const StructShape& shape, const std::function<Status(std::size_t)>& read_field,
                   const std::function<bool(std::size_t)>& is_required) {
  const std::string struct_name = fmt::format("struct {}", shape.name);
  auto c = reader.peek_non_ws();
  if (!c) return std::unexpected(reader.error_peek("EOF while parsing a value"));
  if (*c == '[') {
    const std::string expected = fmt::format("struct {} with {} elements", shape.name, shape.fields.size());
    QV_TRY(reader.begin_array(expected));
    for (std::size_t i = 0; i < shape.fields.size(); ++i) {
      if (!QV_TRY(reader.next_element())) {
        if (i < shape.min_array_elements) {
          QV_TRY(reader.end_array());
          return std::unexpected(reader.error_here(fmt::format("invalid length {}, expected {}", i, expected)));
        }
        break;
      }
      QV_TRY(read_field(i));
    }
    return reader.end_array();
  }
  if (*c != '{') return std::unexpected(reader.invalid_type(struct_name));
  QV_TRY(reader.begin_object(struct_name));
  std::vector<bool> seen(shape.fields.size(), false);
  for (;;) {
    auto key = QV_TRY(reader.next_key());
    if (!key) break;
    std::size_t field = shape.fields.size();
    for (std::size_t i = 0; i < shape.fields.size(); ++i) {
      if (shape.fields[i] == *key) {
        field = i;
        break;
      }
    }
    if (field == shape.fields.size()) {
      if (shape.deny_unknown_fields) {
        reader.peek_non_ws();
        return std::unexpected(
            reader.error_here(fmt::format("unknown field `{}`, expected {}", *key, one_of(shape.fields))));
      }
      QV_TRY(reader.next_value());
      QV_TRY(reader.skip_value());
      continue;
    }
    if (seen[field]) {
      reader.peek_non_ws();
      return std::unexpected(reader.error_here(fmt::format("duplicate field `{}`", shape.fields[field])));
    }
    seen[field] = true;
    QV_TRY(reader.next_value());
    QV_TRY(read_field(field));
  }
  QV_TRY(reader.end_object());
  for (std::size_t i = 0; i < shape.fields.size(); ++i) {
    if (!seen[i] && is_required(i)) {
      return std::unexpected(reader.error_here(fmt::format("missing field `{}`", shape.fields[i])));
    }
  }
  return {};
}

// ---- writing ----------------------------------------------------------------

void append_quoted(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  std::size_t i = 0;
  while (i < text.size()) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      std::size_t n = utf8_sequence_length(text, i);
      if (n == 0) {
        out += "\xEF\xBF\xBD";
        ++i;
      } else {
        out.append(text.substr(i, n));
        i += n;
      }
      continue;
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out += kHex[c >> 4];
          out += kHex[c & 0xF];
        } else {
          out += static_cast<char>(c);
        }
    }
    ++i;
  }
  out += '"';
}

std::string quoted(std::string_view text) {
  std::string out;
  append_quoted(out, text);
  return out;
}

}  // namespace qv::json
