// A tiny forward proxy on 127.0.0.1 that answers CONNECT to 127.0.0.1 or to
// localhost and relays bytes, for downloads made through a proxy named in the
// environment.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "support/loopback_acceptor.hpp"

namespace qv::test {

class ConnectProxy {
 public:
  ConnectProxy();
  ConnectProxy(const ConnectProxy&) = delete;
  ConnectProxy& operator=(const ConnectProxy&) = delete;

  std::uint16_t port() const { return acceptor_.port(); }
  // "http://127.0.0.1:{port}", the form proxy variables take.
  std::string url() const;
  // How many CONNECT requests were answered.
  int tunnels() const { return tunnels_.load(); }

 private:
  void serve(int client);

  std::atomic<int> tunnels_{0};
  LoopbackAcceptor acceptor_;  // last: its threads use the members above
};

}  // namespace qv::test
