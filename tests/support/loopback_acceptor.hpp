// The accepting half of the small servers written on raw sockets: a listener
// on 127.0.0.1 whose connections are each served on a thread of their own.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

namespace qv::test {

class LoopbackAcceptor {
 public:
  // Called on a thread of its own with each accepted connection, which it
  // owns and closes. It must return soon once `stopping()` turns true.
  using Serve = std::function<void(int client)>;

  // Listens at once; throws std::runtime_error when it cannot.
  explicit LoopbackAcceptor(Serve serve);
  // Stops accepting and waits for every connection's thread.
  ~LoopbackAcceptor();
  LoopbackAcceptor(const LoopbackAcceptor&) = delete;
  LoopbackAcceptor& operator=(const LoopbackAcceptor&) = delete;

  std::uint16_t port() const { return port_; }
  bool stopping() const { return stopping_.load(); }

 private:
  void accept_loop();

  Serve serve_;
  int listener_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread acceptor_;
  std::vector<std::thread> workers_;
};

// Sends every byte (no SIGPIPE); false once the connection refuses more.
bool send_all(int fd, const char* data, std::size_t size);

}  // namespace qv::test
