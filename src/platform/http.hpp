// The HTTP client binding: one GET on its own libcurl easy handle per call.
// This is the only code that calls libcurl.
//
// The binding moves bytes and nothing more. It parses no Content-Length and
// never follows a redirect; the receiver sees the final response head, decides
// whether the body is wanted and how long it is, and gets the body in chunks.
// That keeps every status, header and size rule with the caller, whose error
// texts must come out exactly as it words them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/error.hpp"

namespace qv::platform {

struct HttpGetRequest {
  // Absolute http or https URL in its serialised form; the caller has checked it.
  std::string url;
  std::string user_agent;
  // Request header lines "Name: value" sent besides Host and User-Agent. No
  // other header is added: the library's default Accept header is removed.
  std::vector<std::string> headers;
  // Name resolution, TCP connect and the TLS handshake together.
  std::uint32_t connect_timeout_ms = 20000;
  // The transfer fails when less than one byte per second moves for this long.
  // There is never a limit on the total time: a body may be many gigabytes.
  std::uint32_t stall_timeout_s = 30;
};

struct HttpResponseHead {
  std::uint32_t status = 0;
  // The final response's header fields in received order, names as received,
  // values without surrounding blanks; a value folded over several lines
  // (obsolete line folding) is one line, its parts joined by one blank.
  std::vector<std::pair<std::string, std::string>> headers;

  // The value of the field `name` (ASCII case-insensitive), as a stack that
  // joins repeated fields gives it: every value of that name, in received
  // order, joined by ", ". Nothing when no field has the name.
  std::optional<std::string> value(std::string_view name) const;
};

// The largest body chunk handed to `HttpReceiver::on_body`.
inline constexpr std::size_t kHttpMaxChunk = 512 * 1024;

// Called on the thread that runs `http_get`, never concurrently.
class HttpReceiver {
 public:
  virtual ~HttpReceiver() = default;
  // The final response head, once, before any body byte. The interim heads
  // 100 and 102 to 199 are skipped; a 101 is final here, since no protocol
  // switch is ever asked for. An error ends the transfer at once; no body byte
  // is delivered. On success returns the number of body bytes to read, when
  // known: the transfer then ends as soon as that many have arrived. Without
  // a length the body runs until the server ends it, and a body sent with a
  // transfer coding (chunked) always runs to the end its own framing marks:
  // the length returned does not cut it short, and the receiver judges the
  // count that arrived.
  virtual Result<std::optional<std::uint64_t>> on_head(const HttpResponseHead& head) = 0;
  // The next chunk of body, 1 to kHttpMaxChunk bytes. An error ends the transfer.
  virtual Status on_body(const char* data, std::size_t size) = 0;
  // Asked about once a second from the connect on, also while nothing
  // arrives (a server that sends no head, or stalls in the body), and
  // between chunks. Before the head, only once the transfer has run for a
  // second, so that an answer that comes at once is judged by on_head first.
  // An error ends the transfer at once, as from on_body.
  virtual Status keep_going() { return {}; }
};

// Runs one GET on a fresh easy handle: HTTP/1.1, no redirects, no content
// decoding, TLS 1.2 or later with peer and host verification, the proxy of the
// environment (http_proxy, https_proxy, no_proxy, ...) except for a host named
// by a loopback address, which is always reached directly, no signals.
//
// Returns success when the body ended: its length was reached, the server
// closed the connection, or the server cut the body short (a short body is the
// receiver's to judge from what it got); a transfer that ends without a final
// response head fails as a transport failure, and so does a head that cannot
// be read field by field (a line that is neither a field nor the folded
// continuation of one, a field name that is no token, a folded
// Transfer-Encoding): "libcurl: malformed response head (curl error 8)". Returns the receiver's error unchanged
// when it ended the transfer, and any transport failure as
// "libcurl: {detail} (curl error {code})". An exception thrown by the receiver
// ends the transfer and is rethrown here once libcurl has returned; the
// binding itself throws nothing. Any thread may call it.
Status http_get(const HttpGetRequest& request, HttpReceiver& receiver);

}  // namespace qv::platform
