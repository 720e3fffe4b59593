#include "support/raw_http_server.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qv::test {
namespace {

constexpr std::size_t kMaxHead = 64 * 1024;

}  // namespace

RawHttpServer::RawHttpServer(std::string reply)
    : reply_(std::move(reply)), acceptor_([this](int client) { serve(client); }) {}

void RawHttpServer::set_reply(std::string reply) {
  std::lock_guard lock(mutex_);
  reply_ = std::move(reply);
}

std::vector<std::string> RawHttpServer::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

void RawHttpServer::clear_requests() {
  std::lock_guard lock(mutex_);
  requests_.clear();
}

std::string RawHttpServer::url(std::string_view path) const {
  return "http://127.0.0.1:" + std::to_string(port()) + std::string(path);
}

void RawHttpServer::serve(int client) {
  std::string head;
  char buffer[16384];
  while (!acceptor_.stopping() && head.find("\r\n\r\n") == std::string::npos && head.size() < kMaxHead) {
    pollfd p{client, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    head.append(buffer, static_cast<std::size_t>(n));
  }
  std::string reply;
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(head.substr(0, head.find("\r\n\r\n")));
    reply = reply_;
  }
  send_all(client, reply.data(), reply.size());
  ::shutdown(client, SHUT_WR);
  // Whatever the client still sends is read and dropped, so that closing
  // never resets the connection before the client has read the reply.
  while (!acceptor_.stopping()) {
    pollfd p{client, POLLIN, 0};
    if (::poll(&p, 1, 100) < 0) break;
    if ((p.revents & (POLLIN | POLLHUP | POLLERR)) != 0 && ::recv(client, buffer, sizeof buffer, 0) <= 0) break;
  }
  ::close(client);
}

}  // namespace qv::test
