// A stand-in X server for tests of clients facing a server that misbehaves.
// It listens as a display of its own (the local sockets and the lock file a
// real server uses) and, for every client it accepts, either never answers,
// or relays to a real server and drops the connection once the real server's
// connection set-up and a given number of further bytes have gone through.
#pragma once

#include <atomic>
#include <cstddef>
#include <optional>
#include <string>
#include <thread>

namespace qv::testing {

class XStandIn {
 public:
  // Relaying to `display` (a real server, ":N"), dropping after the set-up
  // reply and `bytes_after_setup` more bytes from the server.
  struct Relay {
    std::string display;
    std::size_t bytes_after_setup = 0;
  };

  // Without a relay: accepts and never answers.
  explicit XStandIn(std::optional<Relay> relay = std::nullopt);
  ~XStandIn();
  XStandIn(const XStandIn&) = delete;
  XStandIn& operator=(const XStandIn&) = delete;

  // ":N", empty when no display could be taken; `reason()` then says why.
  const std::optional<std::string>& display() const { return display_; }
  const std::string& reason() const { return reason_; }
  // The clients accepted so far.
  std::size_t connections() const { return connections_.load(); }

 private:
  void serve();

  std::optional<Relay> relay_;
  std::optional<std::string> display_;
  std::string reason_;
  std::string lock_path_;
  std::string socket_path_;
  int listeners_[2] = {-1, -1};
  int stop_[2] = {-1, -1};
  std::atomic<std::size_t> connections_{0};
  std::thread thread_;
};

}  // namespace qv::testing
