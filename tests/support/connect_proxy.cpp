#include "support/connect_proxy.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

namespace qv::test {

ConnectProxy::ConnectProxy() : acceptor_([this](int client) { serve(client); }) {}

std::string ConnectProxy::url() const { return "http://127.0.0.1:" + std::to_string(port()); }

void ConnectProxy::serve(int client) {
  std::string head;
  char buffer[16384];
  while (head.find("\r\n\r\n") == std::string::npos && head.size() < 8192) {
    ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    head.append(buffer, static_cast<std::size_t>(n));
  }
  // "CONNECT 127.0.0.1:PORT HTTP/1.1" or "CONNECT localhost:PORT ...": only
  // loopback targets are relayed.
  unsigned port = 0;
  int upstream = -1;
  const bool asked = std::sscanf(head.c_str(), "CONNECT 127.0.0.1:%u ", &port) == 1 ||
                     std::sscanf(head.c_str(), "CONNECT localhost:%u ", &port) == 1;
  if (asked && port > 0 && port < 65536) {
    upstream = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    target.sin_port = htons(static_cast<std::uint16_t>(port));
    if (upstream >= 0 && ::connect(upstream, reinterpret_cast<sockaddr*>(&target), sizeof target) != 0) {
      ::close(upstream);
      upstream = -1;
    }
  }
  if (upstream < 0) {
    send_all(client, "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n", 47);
    ::close(client);
    return;
  }
  ++tunnels_;
  const char ok[] = "HTTP/1.1 200 Connection established\r\n\r\n";
  send_all(client, ok, sizeof ok - 1);
  // Bytes after the CONNECT head belong to the tunnel.
  const std::size_t end = head.find("\r\n\r\n") + 4;
  if (end < head.size()) send_all(upstream, head.data() + end, head.size() - end);
  pollfd fds[2] = {{client, POLLIN, 0}, {upstream, POLLIN, 0}};
  while (!acceptor_.stopping()) {
    if (::poll(fds, 2, 100) < 0) break;
    bool closed = false;
    for (int i = 0; i < 2 && !closed; ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t n = ::recv(fds[i].fd, buffer, sizeof buffer, 0);
      if (n <= 0 || !send_all(fds[1 - i].fd, buffer, static_cast<std::size_t>(n))) closed = true;
    }
    if (closed) break;
  }
  ::close(upstream);
  ::close(client);
}

}  // namespace qv::test
