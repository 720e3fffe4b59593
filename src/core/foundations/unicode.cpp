#include "core/foundations/unicode.hpp"

#include <unicode/ucasemap.h>
#include <unicode/utf8.h>

#include <memory>

#include "platform/ascii.hpp"

namespace qv {
namespace {

using platform::ascii_lower;

struct CaseMapDeleter {
  void operator()(UCaseMap* map) const { ucasemap_close(map); }
};

UCaseMap* root_case_map() {
  // One map per thread: a UCaseMap may not be shared by threads that use it at
  // the same time.
  thread_local std::unique_ptr<UCaseMap, CaseMapDeleter> map = [] {
    UErrorCode status = U_ZERO_ERROR;
    UCaseMap* m = ucasemap_open("", 0, &status);
    return std::unique_ptr<UCaseMap, CaseMapDeleter>(U_SUCCESS(status) ? m : nullptr);
  }();
  return map.get();
}

std::string lower_valid(std::string_view text) {
  UCaseMap* map = root_case_map();
  if (map != nullptr) {
    // Lower-casing can grow UTF-8 text (for instance U+0130 becomes three bytes
    // from two); retry once with the size ICU reports.
    std::string out(text.size() + 16, '\0');
    for (int attempt = 0; attempt < 2; ++attempt) {
      UErrorCode status = U_ZERO_ERROR;
      int32_t n = ucasemap_utf8ToLower(map, out.data(), static_cast<int32_t>(out.size()), text.data(),
                                       static_cast<int32_t>(text.size()), &status);
      if (status == U_BUFFER_OVERFLOW_ERROR) {
        out.assign(static_cast<std::size_t>(n), '\0');
        continue;
      }
      if (U_SUCCESS(status)) {
        out.resize(static_cast<std::size_t>(n));
        return out;
      }
      break;
    }
  }
  return to_lower_ascii(text);
}

}  // namespace

bool is_valid_utf8(std::string_view text) {
  const auto* s = reinterpret_cast<const uint8_t*>(text.data());
  int32_t length = static_cast<int32_t>(text.size());
  int32_t i = 0;
  while (i < length) {
    UChar32 c;
    U8_NEXT(s, i, length, c);
    if (c < 0) return false;
  }
  return true;
}

std::string to_lower_full(std::string_view text) {
  if (is_valid_utf8(text)) return lower_valid(text);
  // Lower-case each valid run and keep invalid bytes as they are.
  std::string out;
  const auto* s = reinterpret_cast<const uint8_t*>(text.data());
  int32_t length = static_cast<int32_t>(text.size());
  int32_t run_start = 0;
  int32_t i = 0;
  while (i < length) {
    int32_t at = i;
    UChar32 c;
    U8_NEXT(s, i, length, c);
    if (c < 0) {
      out += lower_valid(text.substr(static_cast<std::size_t>(run_start), static_cast<std::size_t>(at - run_start)));
      out.append(text.substr(static_cast<std::size_t>(at), static_cast<std::size_t>(i - at)));
      run_start = i;
    }
  }
  out += lower_valid(text.substr(static_cast<std::size_t>(run_start)));
  return out;
}

std::string to_lower_ascii(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = ascii_lower(c);
  return out;
}

bool equals_ignoring_ascii_case(std::string_view a, std::string_view b) {
  return platform::equals_ignoring_ascii_case(a, b);
}

std::string to_upper_ascii(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace qv
