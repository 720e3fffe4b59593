// A listener on 127.0.0.1 that answers every connection with the same bytes,
// exactly as given, for answers no HTTP library would send: heads folded over
// several lines or broken in other ways, or a stranger posing as a proxy.
//
// For each connection it reads the request head (up to the empty line that
// ends it), records it, writes the reply and closes the connection. The
// server runs on its own threads from construction to destruction; every
// method is safe to call from any thread while it runs.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "support/loopback_acceptor.hpp"

namespace qv::test {

class RawHttpServer {
 public:
  explicit RawHttpServer(std::string reply = {});
  RawHttpServer(const RawHttpServer&) = delete;
  RawHttpServer& operator=(const RawHttpServer&) = delete;

  // The bytes every later connection gets.
  void set_reply(std::string reply);

  // The request heads received so far, each up to its empty line, in order.
  std::vector<std::string> requests() const;
  void clear_requests();

  std::uint16_t port() const { return acceptor_.port(); }
  // "http://127.0.0.1:{port}{path}"; with an empty path the form proxy
  // variables take.
  std::string url(std::string_view path = {}) const;

 private:
  void serve(int client);

  mutable std::mutex mutex_;
  std::string reply_;
  std::vector<std::string> requests_;
  LoopbackAcceptor acceptor_;  // last: its threads use the members above
};

}  // namespace qv::test
