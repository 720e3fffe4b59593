// URLs of the shapes the launcher is configured with, the spellings its policy
// tells apart, and base/name pairs as object URLs are built from.
#include <fmt/format.h>

#include "fuzz_support.hpp"

void qv::fuzz::write_seeds(SeedWriter& out) {
  const char* const urls[] = {
      "https://cdn.example/release/manifest.qvm",
      "http://127.0.0.1:8080/manifest.qvm",
      "http://[::1]:8080/r/",
      "HTTPS://User:Pass@B\u00fccher.Example:443/a/./b/../c?q=1#f",
      "https://xn--bcher-kva.example/%2e%2e/x",
      "http://0x7f.1/",
      "http://[1:0:0:0:2:0:0:3]/",
      "http://[::ffff:127.0.0.1]/",
      "file:///C:/a/../b",
      "foo://Host/a\\b?'#`",
      "mailto:Some One@Example.com?s#f",
      "https://cdn.example.com%00.xn--zca/m.qvm",
      "https://cdn.example/release/\nobjects/0123456789abcdef0123456789abcdef.qvp",
      "http://127.0.0.1:9/r/\nobjects/%2e%2e/x",
      "https://h.example/a/b/c?q#f\n../../d?z#y",
      "file:///C:/a/b\n/D:/x",
  };
  int n = 0;
  for (const char* url : urls) out.add(fmt::format("url-{:02}", n++), url);
}
