// A tiny forward proxy on 127.0.0.1 that answers CONNECT and relays bytes,
// for downloads made through a proxy named in the environment.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace qv::test {

class ConnectProxy {
 public:
  ConnectProxy();
  ~ConnectProxy();
  ConnectProxy(const ConnectProxy&) = delete;
  ConnectProxy& operator=(const ConnectProxy&) = delete;

  std::uint16_t port() const { return port_; }
  // "http://127.0.0.1:{port}", the form proxy variables take.
  std::string url() const;
  // How many CONNECT requests were answered.
  int tunnels() const { return tunnels_.load(); }

 private:
  void accept_loop();
  void serve(int client);

  int listener_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> tunnels_{0};
  std::thread acceptor_;
  std::vector<std::thread> workers_;
};

}  // namespace qv::test
