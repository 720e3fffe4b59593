// Host parsing: domains (with IDNA for non-ASCII names), IPv4 in all its
// number forms, IPv6, and the opaque hosts of non-special URLs.
#include <idn2.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

#include <fmt/format.h>

#include "core/foundations/unicode.hpp"
#include "core/foundations/url_internal.hpp"

namespace qv::url_detail {
namespace {

bool is_forbidden_host_code_point(unsigned char c) {
  switch (c) {
    case 0x00: case '\t': case '\n': case '\r': case ' ': case '#': case '/': case ':': case '<':
    case '>': case '?': case '@': case '[': case '\\': case ']': case '^': case '|':
      return true;
    default:
      return false;
  }
}

bool is_forbidden_domain_code_point(unsigned char c) {
  return is_forbidden_host_code_point(c) || c < 0x20 || c == '%' || c == 0x7F;
}

bool is_hex_digit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return c - 'A' + 10;
}

std::string percent_decode(std::string_view input) {
  std::string out;
  out.reserve(input.size());
  for (std::size_t i = 0; i < input.size(); ++i) {
    if (input[i] == '%' && i + 2 < input.size() && is_hex_digit(input[i + 1]) && is_hex_digit(input[i + 2])) {
      out += static_cast<char>(hex_value(input[i + 1]) * 16 + hex_value(input[i + 2]));
      i += 2;
    } else {
      out += input[i];
    }
  }
  return out;
}

std::vector<std::string_view> split_dots(std::string_view text) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (;;) {
    std::size_t dot = text.find('.', start);
    parts.push_back(text.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start));
    if (dot == std::string_view::npos) return parts;
    start = dot + 1;
  }
}

// Any value above this is out of range for every IPv4 form, so numbers are
// saturated here instead of overflowing on long digit strings.
constexpr std::uint64_t kIpv4Saturation = std::uint64_t{1} << 32;

// One dotted part: decimal, "0x" hexadecimal or "0" octal; an empty remainder
// after the prefix is zero.
std::optional<std::uint64_t> parse_ipv4_number(std::string_view part) {
  if (part.empty()) return std::nullopt;
  int radix = 10;
  if (part.size() >= 2 && part[0] == '0' && (part[1] == 'x' || part[1] == 'X')) {
    part.remove_prefix(2);
    radix = 16;
  } else if (part.size() >= 2 && part[0] == '0') {
    part.remove_prefix(1);
    radix = 8;
  }
  std::uint64_t value = 0;
  for (char c : part) {
    int digit = -1;
    if (radix == 16 && is_hex_digit(c)) digit = hex_value(c);
    if (radix == 10 && c >= '0' && c <= '9') digit = c - '0';
    if (radix == 8 && c >= '0' && c <= '7') digit = c - '0';
    if (digit < 0) return std::nullopt;
    value = value * static_cast<std::uint64_t>(radix) + static_cast<std::uint64_t>(digit);
    if (value > kIpv4Saturation) value = kIpv4Saturation;
  }
  return value;
}

// A domain whose last label is a number is meant as an IPv4 address and must
// parse as one; "example.1" is therefore refused rather than looked up.
bool ends_in_a_number(std::string_view domain) {
  std::vector<std::string_view> parts = split_dots(domain);
  if (parts.back().empty()) {
    if (parts.size() == 1) return false;
    parts.pop_back();
  }
  std::string_view last = parts.back();
  if (!last.empty() && last.find_first_not_of("0123456789") == std::string_view::npos) return true;
  return parse_ipv4_number(last).has_value();
}

Result<std::string> parse_ipv4(std::string_view domain) {
  std::vector<std::string_view> parts = split_dots(domain);
  if (parts.back().empty() && parts.size() > 1) parts.pop_back();
  if (parts.size() > 4) return fail(std::string(kInvalidIpv4));
  std::vector<std::uint64_t> numbers;
  for (std::string_view part : parts) {
    auto n = parse_ipv4_number(part);
    if (!n) return fail(std::string(kInvalidIpv4));
    numbers.push_back(*n);
  }
  for (std::size_t i = 0; i + 1 < numbers.size(); ++i) {
    if (numbers[i] > 255) return fail(std::string(kInvalidIpv4));
  }
  // The last part fills every byte the earlier parts left: "127.1" is 127.0.0.1.
  const std::uint64_t limit = std::uint64_t{1} << (8 * (5 - numbers.size()));
  if (numbers.back() >= limit) return fail(std::string(kInvalidIpv4));
  std::uint64_t address = numbers.back();
  for (std::size_t i = 0; i + 1 < numbers.size(); ++i) address += numbers[i] << (8 * (3 - i));
  return fmt::format("{}.{}.{}.{}", (address >> 24) & 0xFF, (address >> 16) & 0xFF, (address >> 8) & 0xFF,
                     address & 0xFF);
}

Result<std::array<std::uint16_t, 8>> parse_ipv6(std::string_view in) {
  std::array<std::uint16_t, 8> address{};
  std::size_t group = 0;
  std::optional<std::size_t> compress;
  std::size_t p = 0;
  auto at = [&](std::size_t i) -> int { return i < in.size() ? static_cast<unsigned char>(in[i]) : -1; };
  auto bad = [] { return fail(std::string(kInvalidIpv6)); };
  if (at(p) == ':') {
    if (at(p + 1) != ':') return bad();
    p += 2;
    compress = ++group;
  }
  while (at(p) != -1) {
    if (group == 8) return bad();
    if (at(p) == ':') {
      if (compress) return bad();
      ++p;
      compress = ++group;
      continue;
    }
    unsigned value = 0;
    std::size_t length = 0;
    while (length < 4 && at(p) != -1 && is_hex_digit(in[p])) {
      value = value * 16 + static_cast<unsigned>(hex_value(in[p]));
      ++p, ++length;
    }
    if (at(p) == '.') {
      // An embedded IPv4 address fills the last two groups.
      if (length == 0) return bad();
      p -= length;
      if (group > 6) return bad();
      int numbers_seen = 0;
      while (at(p) != -1) {
        std::optional<unsigned> v4;
        if (numbers_seen > 0) {
          if (at(p) == '.' && numbers_seen < 4) {
            ++p;
          } else {
            return bad();
          }
        }
        if (at(p) < '0' || at(p) > '9') return bad();
        while (at(p) >= '0' && at(p) <= '9') {
          const unsigned digit = static_cast<unsigned>(at(p) - '0');
          if (!v4) {
            v4 = digit;
          } else if (*v4 == 0) {
            return bad();  // leading zero
          } else {
            v4 = *v4 * 10 + digit;
          }
          if (*v4 > 255) return bad();
          ++p;
        }
        address[group] = static_cast<std::uint16_t>(address[group] * 0x100 + *v4);
        ++numbers_seen;
        if (numbers_seen == 2 || numbers_seen == 4) ++group;
      }
      if (numbers_seen != 4) return bad();
      break;
    }
    if (at(p) == ':') {
      ++p;
      if (at(p) == -1) return bad();
    } else if (at(p) != -1) {
      return bad();
    }
    address[group++] = static_cast<std::uint16_t>(value);
  }
  if (compress) {
    std::size_t swaps = group - *compress;
    group = 7;
    while (group != 0 && swaps > 0) {
      std::swap(address[group], address[*compress + swaps - 1]);
      --group, --swaps;
    }
  } else if (group != 8) {
    return bad();
  }
  return address;
}

std::string serialise_ipv6(const std::array<std::uint16_t, 8>& address) {
  // Compress the first longest run of two or more zero groups.
  std::optional<std::size_t> compress;
  std::size_t best = 1;
  for (std::size_t i = 0; i < 8;) {
    if (address[i] != 0) {
      ++i;
      continue;
    }
    std::size_t j = i;
    while (j < 8 && address[j] == 0) ++j;
    if (j - i > best) {
      best = j - i;
      compress = i;
    }
    i = j;
  }
  std::string out = "[";
  bool ignore_zero = false;
  for (std::size_t i = 0; i < 8; ++i) {
    if (ignore_zero && address[i] == 0) continue;
    ignore_zero = false;
    if (compress == i) {
      out += i == 0 ? "::" : ":";
      ignore_zero = true;
      continue;
    }
    out += fmt::format("{:x}", address[i]);
    if (i != 7) out += ':';
  }
  out += ']';
  return out;
}

bool needs_idna(std::string_view domain) {
  for (unsigned char c : domain) {
    if (c >= 0x80) return true;
  }
  for (std::string_view label : split_dots(domain)) {
    if (label.size() >= 4 && to_upper_ascii(label.substr(0, 4)) == "XN--") return true;
  }
  return false;
}

Result<std::string> domain_to_ascii(const std::string& domain) {
  if (!needs_idna(domain)) {
    return to_lower_ascii(domain);
  }
  // The library reads a C string: a NUL would end the name there and drop
  // the rest unseen ("cdn.example%00.xn--zca" read as "cdn.example"). A NUL
  // is a forbidden code point in any host, so the parse fails instead.
  if (domain.find('\0') != std::string::npos) return fail(std::string(kInvalidDomainCharacter));
  // Non-transitional mapping keeps "ß" as written (punycoded) instead of
  // folding it to "ss", so the name looked up is the name given; the mapping
  // also lower-cases.
  char* out = nullptr;
  const int rc = idn2_to_ascii_8z(domain.c_str(), &out, IDN2_NONTRANSITIONAL);
  std::unique_ptr<char, decltype(&std::free)> owned(out, &std::free);
  if (rc != IDN2_OK || out == nullptr || *out == '\0') return fail(std::string(kInvalidIdn));
  return std::string(out);
}

Result<std::string> parse_opaque_host(std::string_view input) {
  for (unsigned char c : input) {
    if (is_forbidden_host_code_point(c)) return fail(std::string(kInvalidHostCharacter));
  }
  std::string out;
  for (char32_t cp : decode_utf8(input)) append_percent_encoded(out, cp, EncodeSet::C0Control);
  return out;
}

}  // namespace

Result<std::string> parse_host(std::string_view input, bool is_opaque) {
  if (!input.empty() && input.front() == '[') {
    if (input.size() < 2 || input.back() != ']') return fail(std::string(kUnclosedIpv6));
    auto address = QV_TRY(parse_ipv6(input.substr(1, input.size() - 2)));
    return serialise_ipv6(address);
  }
  if (is_opaque) return parse_opaque_host(input);
  const std::string domain = percent_decode(input);
  if (!is_valid_utf8(domain)) return fail(std::string(kInvalidIdn));
  const std::string ascii = QV_TRY(domain_to_ascii(domain));
  for (unsigned char c : ascii) {
    if (is_forbidden_domain_code_point(c)) return fail(std::string(kInvalidDomainCharacter));
  }
  if (ends_in_a_number(ascii)) return parse_ipv4(ascii);
  return ascii;
}

}  // namespace qv::url_detail
