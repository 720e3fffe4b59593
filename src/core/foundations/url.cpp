// Serialisation and origins of parsed URLs.
#include "core/foundations/url.hpp"

#include <fmt/format.h>

#include "core/foundations/url_internal.hpp"

namespace qv {

int url_detail::default_port(std::string_view scheme) {
  if (scheme == "https" || scheme == "wss") return 443;
  if (scheme == "http" || scheme == "ws") return 80;
  if (scheme == "ftp") return 21;
  if (scheme == "file") return -1;
  return -2;
}

std::optional<std::uint16_t> Url::port_or_default() const {
  if (port) return port;
  const int port_number = url_detail::default_port(scheme);
  if (port_number < 0) return std::nullopt;
  return static_cast<std::uint16_t>(port_number);
}

std::string Url::href() const {
  std::string out = scheme;
  out += ':';
  if (host) {
    out += "//";
    const bool has_password = password && !password->empty();
    if (!username.empty() || has_password) {
      out += username;
      if (has_password) {
        out += ':';
        out += *password;
      }
      out += '@';
    }
    out += *host;
    if (port) out += fmt::format(":{}", *port);
  } else if (path.starts_with("//")) {
    // Without a host, a path whose first segment is empty would read back
    // as an authority; "/." keeps it a path.
    out += "/.";
  }
  out += path;
  if (query) {
    out += '?';
    out += *query;
  }
  if (fragment) {
    out += '#';
    out += *fragment;
  }
  return out;
}

bool same_origin(const Url& a, const Url& b) {
  // Only the special network schemes have a tuple origin; every other URL has
  // an opaque origin, equal to no other.
  auto tuple = [](const Url& u) { return url_detail::default_port(u.scheme) > 0 && u.host.has_value(); };
  if (!tuple(a) || !tuple(b)) return false;
  return a.scheme == b.scheme && a.host == b.host && a.port_or_default() == b.port_or_default();
}

}  // namespace qv
