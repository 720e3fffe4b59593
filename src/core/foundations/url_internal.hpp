// Helpers shared by the URL parser, the host parser and the URL policy. Not
// part of the public interface: include url.hpp instead.
#pragma once

#include <string>
#include <string_view>

#include "platform/error.hpp"
#include "core/foundations/url.hpp"

namespace qv::url_detail {

// Error texts of the URL library. Short and fixed: callers and tests compare
// them, and manifest validation passes them on as they are.
inline constexpr std::string_view kRelativeWithoutBase = "relative URL without a base";
inline constexpr std::string_view kOpaqueBase = "relative URL against a base that cannot have one";
inline constexpr std::string_view kEmptyHost = "empty host";
inline constexpr std::string_view kInvalidPort = "invalid port number";
inline constexpr std::string_view kInvalidDomainCharacter = "invalid domain character";
inline constexpr std::string_view kInvalidHostCharacter = "invalid host character";
inline constexpr std::string_view kInvalidIdn = "invalid international domain name";
inline constexpr std::string_view kInvalidIpv4 = "invalid IPv4 address";
inline constexpr std::string_view kInvalidIpv6 = "invalid IPv6 address";
inline constexpr std::string_view kUnclosedIpv6 = "unclosed IPv6 address";

// The URL policy's texts.
inline constexpr std::string_view kHttpsRequired = "HTTPS required (test HTTP restricted to literal loopback)";
inline constexpr std::string_view kCredentialsOrFragment = "URL credentials/fragment rejected";
inline constexpr std::string_view kBadObjectBase = "object base URL must end in / and have no query";
inline constexpr std::string_view kChangedOrigin = "object changed origin";

// The percent-encode sets, each a superset of the one before it except that
// the fragment set and the query sets branch off the C0-control set.
enum class EncodeSet { C0Control, Fragment, Query, SpecialQuery, Path, Userinfo };

// Appends `cp` as UTF-8, each byte in `set` written as "%XX" (upper-case hex).
void append_percent_encoded(std::string& out, char32_t cp, EncodeSet set);

// Decodes UTF-8 into code points; ill-formed sequences become U+FFFD, as a
// text decoder would make them.
std::u32string decode_utf8(std::string_view text);

// The special schemes' default ports; -1 for a special scheme without one
// ("file"), -2 for a scheme that is not special.
int default_port(std::string_view scheme);
inline bool is_special(std::string_view scheme) { return default_port(scheme) != -2; }

// parse_url, also handing back the host of the authority as it was written
// (after the input's tabs and line breaks are dropped, before decoding),
// when `written_host` is not null and the URL has one. The policy reads the
// host as written; everything else reads the parsed one.
Result<Url> parse_url_with_written_host(std::string_view input, const Url* base, std::string* written_host);

// Parses the host part of an authority (still percent-encoded, UTF-8) and
// returns its serialisation: a lower-case ASCII domain, dotted IPv4, "[IPv6]"
// with the longest zero run compressed, or for non-special URLs (`is_opaque`)
// an opaque host. Fails with one of the texts above.
Result<std::string> parse_host(std::string_view input, bool is_opaque);

}  // namespace qv::url_detail
