#include "support/connect_proxy.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

namespace qv::test {
namespace {

bool send_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

ConnectProxy::ConnectProxy() {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_, 8) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("proxy listener");
  }
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { accept_loop(); });
}

ConnectProxy::~ConnectProxy() {
  stopping_ = true;
  ::shutdown(listener_, SHUT_RDWR);
  acceptor_.join();
  for (auto& worker : workers_) worker.join();
  ::close(listener_);
}

std::string ConnectProxy::url() const { return "http://127.0.0.1:" + std::to_string(port_); }

void ConnectProxy::accept_loop() {
  while (!stopping_) {
    pollfd p{listener_, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    workers_.emplace_back([this, client] { serve(client); });
  }
}

void ConnectProxy::serve(int client) {
  std::string head;
  char buffer[16384];
  while (head.find("\r\n\r\n") == std::string::npos && head.size() < 8192) {
    ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    head.append(buffer, static_cast<std::size_t>(n));
  }
  // "CONNECT 127.0.0.1:PORT HTTP/1.1"; only loopback targets are relayed.
  unsigned port = 0;
  int upstream = -1;
  if (std::sscanf(head.c_str(), "CONNECT 127.0.0.1:%u ", &port) == 1 && port > 0 && port < 65536) {
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
  while (!stopping_) {
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
