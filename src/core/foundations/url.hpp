// URLs: a subset of the WHATWG basic URL parser, serialisation, origins and
// relative joining, and the system's URL policy.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/foundations/error.hpp"

namespace qv {

// A parsed URL. Every text is in its serialised (percent-encoded) form.
struct Url {
  std::string scheme;  // lower-case, without ':'
  std::string username;
  std::optional<std::string> password;
  std::optional<std::string> host;  // a domain, dotted IPv4, or "[IPv6]"; absent for hostless URLs
  std::optional<std::uint16_t> port;  // explicit and not the scheme's default
  std::string path;                   // "/a/b", or the opaque path of a non-special URL
  std::optional<std::string> query;   // without '?'; empty but present for a bare "?"
  std::optional<std::string> fragment;  // without '#'; empty but present for a bare "#"

  // The explicit port, else the special scheme's default (443, 80, 21, ...).
  std::optional<std::uint16_t> port_or_default() const;
  // The whole URL serialised.
  std::string href() const;
  bool operator==(const Url&) const = default;
};

// Parses `input` as an absolute URL, or as a reference relative to `base`.
Result<Url> parse_url(std::string_view input, const Url* base = nullptr);

// True when both have the same tuple origin (scheme, host, port with default).
bool same_origin(const Url& a, const Url& b);

// The URL policy: https only (plain http only when `allow_loopback_http` and
// the host is the literal loopback address 127.0.0.1 or ::1), no credentials,
// no fragment.
Result<Url> check_url(std::string_view url, bool allow_loopback_http);

// The URL of one content object below the object base URL, which must end in
// "/" and carry no query; the joined URL must keep the base's origin.
Result<std::string> object_url(std::string_view base, std::string_view name, bool allow_loopback_http);

}  // namespace qv
