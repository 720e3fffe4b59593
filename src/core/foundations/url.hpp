// URLs: a subset of the WHATWG basic URL parser, serialisation, origins and
// relative joining, and the system's URL policy.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/error.hpp"

namespace qv {

// A parsed URL. Every text is in its serialised (percent-encoded) form.
struct Url {
  std::string scheme;  // lower-case, without ':'
  std::string username;
  std::optional<std::string> password;  // present, maybe empty, once ":" came before "@"
  std::optional<std::string> host;  // a domain, dotted IPv4, or "[IPv6]"; absent for hostless URLs
  std::optional<std::uint16_t> port;  // explicit and not the scheme's default
  std::string path;                   // "/a/b", or the opaque path of a non-special URL
  std::optional<std::string> query;   // without '?'; empty but present for a bare "?"
  std::optional<std::string> fragment;  // without '#'; empty but present for a bare "#"

  // The explicit port, else the special scheme's default (443, 80, 21, ...).
  std::optional<std::uint16_t> port_or_default() const;
  // The whole URL serialised; parsing it again gives the same text. A password
  // that is present but empty is not written, as for an absent one.
  std::string href() const;
  bool operator==(const Url&) const = default;
};

// Parses `input` as an absolute URL, or as a reference relative to `base`
// (borrowed for the call only). Leading and trailing C0 controls and spaces
// are trimmed and tabs and line breaks removed first; ill-formed UTF-8 reads
// as U+FFFD. Hosts of special schemes are percent-decoded, mapped through IDNA
// when they hold non-ASCII or "xn--" labels, lower-cased, and read as IPv4
// when the last label is a number. On failure returns
// a short fixed text such as "relative URL without a base", "empty host",
// "invalid port number", "invalid domain character", "invalid IPv4 address",
// "invalid IPv6 address" or "invalid international domain name". Pure; safe
// on any thread.
Result<Url> parse_url(std::string_view input, const Url* base = nullptr);

// True when both have the same tuple origin (scheme, host, port with default).
// Only http, https, ws, wss and ftp URLs have one; any other URL has an opaque
// origin and is the same origin as nothing, itself included.
bool same_origin(const Url& a, const Url& b);

// The URL policy for every URL the launcher fetches. Rules in this order:
//  1. `url` parses as an absolute URL, else the parser's error;
//  2. the scheme is https, or http when `allow_loopback_http` is set and the
//     host is written exactly "127.0.0.1" or "[::1]" (no other spelling of
//     the addresses, never a name), else "HTTPS required (test HTTP
//     restricted to literal loopback)";
//  3. no user name, no password (not even an empty one after ":"), no
//     fragment (not even a bare "#"), else "URL credentials/fragment rejected".
// Returns the parsed URL. Pure; safe on any thread.
Result<Url> check_url(std::string_view url, bool allow_loopback_http);

// The URL of one content object: `name` must pass validate_relative_path (its
// error unchanged), `base` must pass check_url and end in "/" without a query
// (else "object base URL must end in / and have no query"); `name` is joined
// onto it as a relative reference, and the result must keep the base's origin
// (else "object changed origin"). A join failure is the parser's error.
// Returns the joined URL's href. Pure; safe on any thread.
Result<std::string> object_url(std::string_view base, std::string_view name, bool allow_loopback_http);

}  // namespace qv
