// A scripted HTTP and HTTPS server on the loopback interface for tests and
// benchmarks.
//
// It serves in-memory files and the files of a folder, answers "bytes=N-" and
// "bytes=N-M" ranges with 206, and records every request it receives. Any path
// can be scripted to misbehave: another status (an unasked-for 101 included),
// other, repeated or missing framing headers, a chunked body, a different
// body, a range ignored, the connection cut after some bytes, a stall, or a
// head that comes late (or never, within a test's time). Heads that no HTTP
// library would write are RawHttpServer's (raw_http_server.hpp).
// Scripts are either standing (every request to the path) or queued one-shot
// answers, which are used first, in order.
//
// The server runs on its own threads from construction to destruction; every
// method is safe to call from any thread while it runs.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "test_certificate.hpp"

namespace qv::test {

struct ReceivedRequest {
  std::string method;
  std::string target;   // path and query as sent on the request line
  std::string version;  // "HTTP/1.1"
  // Every header field received; names lower-cased, in name order.
  std::vector<std::pair<std::string, std::string>> headers;
  std::chrono::steady_clock::time_point at;
  // Body bytes of the answer handed to the connection so far (what a client
  // can have received, whether or not it kept them).
  std::uint64_t body_bytes = 0;

  // The value of the field `name` (lower-case), or nullopt.
  std::optional<std::string> header(std::string_view name) const;
};

// How to answer one request. Every field left unset keeps normal serving.
struct Answer {
  std::optional<int> status;                                 // normal: 200, or 206 for a satisfiable range
  std::optional<std::string> body;                           // in place of the file's bytes (the whole entity)
  bool ignore_range = false;                                 // answer a range request with 200 and the whole body
  std::optional<std::string> content_length;                 // literal Content-Length value
  bool omit_content_length = false;                          // send no Content-Length (the body ends at close)
  std::optional<std::string> content_range;                  // literal Content-Range value
  bool omit_content_range = false;                           // a 206 without Content-Range
  std::optional<std::uint64_t> close_after;                  // cut the connection after this many body bytes
  std::optional<std::uint64_t> stall_after;                  // stop sending after this many body bytes ...
  std::chrono::milliseconds stall_for{0};                    // ... for this long (then go on)
  std::chrono::milliseconds head_delay{0};                   // wait this long before the head is sent
  bool chunked = false;                                      // chunked transfer coding; Content-Length still sent
  std::vector<std::pair<std::string, std::string>> headers;  // further fields, sent as given (repeats too)
};

struct LoopbackOptions {
  bool https = false;
  // Required with https: the server certificate and key to present.
  std::optional<TestCertificate> certificate;
  std::string host = "127.0.0.1";  // or "::1"
};

class LoopbackServer {
 public:
  using Options = LoopbackOptions;
  LoopbackServer() : LoopbackServer(Options{}) {}
  explicit LoopbackServer(Options options);
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  // Serves `content` at `path` ("/a/b.bin").
  void put(const std::string& path, std::string content);
  // Serves every file below `folder` at "/" plus its relative path, streamed
  // from disk (for bodies too large to hold in memory).
  void serve_folder(const std::filesystem::path& folder);

  // Every request to `path` is answered by `answer` (until cleared).
  void script(const std::string& path, Answer answer);
  // The next request to `path` is answered by `answer`; queued answers are
  // used before the standing one, in the order given.
  void script_once(const std::string& path, Answer answer);
  // A standing redirect to `location` with `status`.
  void redirect(const std::string& path, int status, const std::string& location);
  void clear_scripts();

  std::vector<ReceivedRequest> requests() const;
  std::size_t request_count() const;
  void clear_requests();

  std::uint16_t port() const { return port_; }
  // "http://127.0.0.1:{port}{path}", "https://[::1]:{port}{path}", ...
  std::string url(std::string_view path) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  std::uint16_t port_ = 0;
  std::string origin_;
};

}  // namespace qv::test
