// URLs: parsing, serialisation, relative joining, the fetch policy and
// content-object URLs. The whole input is one URL; split at its first line
// break it is also a base and a reference (or an object name) joined onto it.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/foundations/url.hpp"
#include "core/foundations/url_internal.hpp"
#include "fuzz_support.hpp"

namespace {

using qv::Url;
using qv::fuzz::fuzz_check;

// A serialised URL is printable ASCII: everything else is percent-encoded or
// mapped to ASCII by IDNA. A raw control byte here would reach a request line.
bool printable_ascii(std::string_view text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c > 0x7E) return false;
  }
  return true;
}

std::size_t count_dots(std::string_view text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '.'));
}

// The dots of a host as written, once its percent-escapes are decoded.
std::size_t written_dots(std::string_view host) {
  std::size_t dots = 0;
  for (std::size_t i = 0; i < host.size(); ++i) {
    if (host[i] == '.') ++dots;
    if (host[i] == '%' && i + 2 < host.size() && host[i + 1] == '2' && (host[i + 2] == 'e' || host[i + 2] == 'E')) {
      ++dots;
      i += 2;
    }
  }
  return dots;
}

// A domain keeps every label it was written with: IDNA may add dots (an
// ideographic full stop is one) but never drops what follows a label, so a
// host is never read as a shorter name than the one written.
void check_labels_kept(std::string_view input) {
  std::string written;
  auto url = qv::url_detail::parse_url_with_written_host(input, nullptr, &written);
  if (!url || !url->host || !qv::url_detail::is_special(url->scheme) || url->scheme == "file") return;
  const std::string& host = *url->host;
  const bool address = host.starts_with('[') || host.find_first_not_of("0123456789.") == std::string::npos;
  if (address) return;
  fuzz_check(count_dots(host) >= written_dots(written), "a domain lost labels", input);
}

// Serialising and parsing again gives the same text: what the policy checked
// is what is fetched.
void check_serialisation(const Url& url, std::string_view input) {
  const std::string href = url.href();
  fuzz_check(printable_ascii(href), "href holds a byte outside printable ASCII", href);
  auto again = qv::parse_url(href);
  fuzz_check(again.has_value(), "href does not parse again", href);
  fuzz_check(again->href() == href, "href is not stable", input);
  fuzz_check(!url.host || !url.host->empty() || url.scheme == "file" || !qv::url_detail::is_special(url.scheme),
             "a special URL with an empty host", href);
}

void check_policy(std::string_view input, const qv::Result<Url>& parsed) {
  for (const bool allow : {false, true}) {
    auto checked = qv::check_url(input, allow);
    if (!parsed) {
      fuzz_check(!checked && checked.error().to_string() == parsed.error().to_string(),
                 "check_url and parse_url disagree on a parse failure", input);
      continue;
    }
    if (!checked) continue;
    fuzz_check(checked->href() == parsed->href(), "check_url returned another URL", input);
    const bool loopback_http =
        allow && checked->scheme == "http" && (checked->host == "127.0.0.1" || checked->host == "[::1]");
    fuzz_check(checked->scheme == "https" || loopback_http, "check_url passed a URL it must refuse", input);
    fuzz_check(checked->username.empty() && !checked->password && !checked->fragment,
               "check_url passed credentials or a fragment", input);
  }
}

void check_join(std::string_view base_text, std::string_view reference) {
  auto base = qv::parse_url(base_text);
  if (!base) return;
  auto joined = qv::parse_url(reference, &*base);
  if (joined) check_serialisation(*joined, reference);

  for (const bool allow : {false, true}) {
    auto object = qv::object_url(base_text, reference, allow);
    if (!object) continue;
    // The name may bring a query or a fragment (the download refuses the
    // latter), never another origin or credentials.
    auto joined_object = qv::parse_url(*object);
    fuzz_check(joined_object.has_value(), "an object URL does not parse", *object);
    auto checked_base = qv::check_url(base_text, allow);
    fuzz_check(checked_base.has_value(), "an object URL from a base that fails the policy", base_text);
    fuzz_check(qv::same_origin(*joined_object, *checked_base), "an object URL left the base's origin", *object);
    fuzz_check(joined_object->username.empty() && !joined_object->password, "an object URL with credentials",
               *object);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input = qv::fuzz::as_text(data, size);
  auto parsed = qv::parse_url(input);
  if (parsed) check_serialisation(*parsed, input);
  check_labels_kept(input);
  check_policy(input, parsed);
  const auto [base, reference] = qv::fuzz::split_once(input, '\n');
  check_join(base, reference);
  return 0;
}
