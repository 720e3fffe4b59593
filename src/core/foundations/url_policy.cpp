// The launcher's URL policy: which URLs it will fetch, and how content-object
// URLs are built from the configured base.
#include <string>
#include <string_view>

#include "core/foundations/paths.hpp"
#include "core/foundations/url.hpp"
#include "core/foundations/url_internal.hpp"

namespace qv {
namespace {

// Plain HTTP exists only for tests against a server on this machine, so it is
// tied to the loopback address written out as such: not to a name a resolver
// could map elsewhere, and not to the other spellings the parser reads as the
// address (127.1, 0x7f.1, 2130706433, [0::1]), which only hide what is meant.
// The parsed host must agree, so no decoding step can make the two differ. A
// bare ::1 cannot be the host of a URL text: its first colon ends the host.
bool is_literal_loopback(const Url& url, std::string_view written_host) {
  return (written_host == "127.0.0.1" && url.host == "127.0.0.1") ||
         (written_host == "[::1]" && url.host == "[::1]");
}

}  // namespace

Result<Url> check_url(std::string_view text, bool allow_loopback_http) {
  std::string written_host;
  Url url = QV_TRY(url_detail::parse_url_with_written_host(text, nullptr, &written_host));
  const bool https = url.scheme == "https";
  const bool loopback_http = url.scheme == "http" && allow_loopback_http && is_literal_loopback(url, written_host);
  if (!https && !loopback_http) return fail(std::string(url_detail::kHttpsRequired));
  if (!url.username.empty() || url.password || url.fragment) {
    return fail(std::string(url_detail::kCredentialsOrFragment));
  }
  return url;
}

Result<std::string> object_url(std::string_view base_text, std::string_view name, bool allow_loopback_http) {
  QV_TRY(validate_relative_path(name));
  const Url base = QV_TRY(check_url(base_text, allow_loopback_http));
  if (base.query || !base.path.ends_with('/')) return fail(std::string(url_detail::kBadObjectBase));
  const Url joined = QV_TRY(parse_url(name, &base));
  if (!same_origin(joined, base)) return fail(std::string(url_detail::kChangedOrigin));
  return joined.href();
}

}  // namespace qv
