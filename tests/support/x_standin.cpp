#include "support/x_standin.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <vector>

namespace qv::testing {
namespace {

constexpr int kFirstDisplay = 150;
constexpr int kLastDisplay = 999;
// The server's set-up reply starts with 8 bytes, the last two of which count
// the 4-byte units that follow (in the client's byte order, here LSB first).
constexpr std::size_t kSetupHeader = 8;

std::string socket_path_of(int number) { return "/tmp/.X11-unix/X" + std::to_string(number); }

// A listening or connecting local socket under the abstract name (offset 1)
// or at the file (offset 0).
sockaddr_un address_of(const std::string& path, std::size_t offset, socklen_t& length) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path + offset, path.data(), path.size());
  length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size());
  return address;
}

int listen_at(const std::string& path, std::size_t offset) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  socklen_t length = 0;
  const sockaddr_un address = address_of(path, offset, length);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0 || ::listen(fd, 16) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

int connect_to_display(const std::string& display) {
  const std::string path = socket_path_of(std::atoi(display.c_str() + 1));
  for (const std::size_t offset : {1, 0}) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    socklen_t length = 0;
    const sockaddr_un address = address_of(path, offset, length);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0) return fd;
    ::close(fd);
  }
  return -1;
}

bool send_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

XStandIn::XStandIn(std::optional<Relay> relay) : relay_(std::move(relay)) {
  if (::pipe2(stop_, O_CLOEXEC) != 0) {
    reason_ = "pipe failed";
    return;
  }
  ::mkdir("/tmp/.X11-unix", 01777);
  for (int number = kFirstDisplay; number <= kLastDisplay && !display_; ++number) {
    // The lock file reserves the number against real servers starting meanwhile.
    const std::string lock = "/tmp/.X" + std::to_string(number) + "-lock";
    const int lock_fd = ::open(lock.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0444);
    if (lock_fd < 0) continue;
    char pid[16];
    const int written = std::snprintf(pid, sizeof pid, "%10d\n", static_cast<int>(::getpid()));
    const bool locked = ::write(lock_fd, pid, static_cast<std::size_t>(written)) == written;
    ::close(lock_fd);
    const std::string path = socket_path_of(number);
    struct stat st {};
    if (locked && ::lstat(path.c_str(), &st) != 0) {
      listeners_[0] = listen_at(path, 1);
      listeners_[1] = listeners_[0] >= 0 ? listen_at(path, 0) : -1;
    }
    if (listeners_[1] < 0) {
      if (listeners_[0] >= 0) ::close(listeners_[0]);
      listeners_[0] = -1;
      ::unlink(lock.c_str());
      continue;
    }
    lock_path_ = lock;
    socket_path_ = path;
    display_ = ":" + std::to_string(number);
  }
  if (!display_) {
    reason_ = "no free display number for the stand-in X server";
    return;
  }
  thread_ = std::thread([this] { serve(); });
}

XStandIn::~XStandIn() {
  if (thread_.joinable()) {
    const char stop = 1;
    (void)!::write(stop_[1], &stop, 1);
    thread_.join();
  }
  for (int fd : {listeners_[0], listeners_[1], stop_[0], stop_[1]}) {
    if (fd >= 0) ::close(fd);
  }
  if (!socket_path_.empty()) ::unlink(socket_path_.c_str());
  if (!lock_path_.empty()) ::unlink(lock_path_.c_str());
}

void XStandIn::serve() {
  struct Link {
    int client = -1;
    int server = -1;
    std::string header;
    std::size_t relayed = 0;
    std::size_t limit = 0;  // 0 until the set-up reply's length is known
  };
  std::vector<int> silent;
  std::vector<Link> links;
  auto drop = [](Link& link) {
    ::close(link.client);
    if (link.server >= 0) ::close(link.server);
    link.client = -1;
  };
  for (;;) {
    std::vector<pollfd> fds{{stop_[0], POLLIN, 0}, {listeners_[0], POLLIN, 0}, {listeners_[1], POLLIN, 0}};
    for (const Link& link : links) {
      fds.push_back({link.client, POLLIN, 0});
      fds.push_back({link.server, POLLIN, 0});
    }
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents != 0) break;
    // Only the links polled above have entries in `fds`.
    const std::size_t polled = links.size();
    for (int i = 1; i <= 2; ++i) {
      if ((fds[static_cast<std::size_t>(i)].revents & POLLIN) == 0) continue;
      const int client = ::accept4(fds[static_cast<std::size_t>(i)].fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      ++connections_;
      if (!relay_) {
        silent.push_back(client);
        continue;
      }
      const int server = connect_to_display(relay_->display);
      if (server < 0) {
        ::close(client);
        continue;
      }
      links.push_back(Link{client, server, {}, 0, 0});
    }
    char buffer[65536];
    for (std::size_t l = 0; l < polled; ++l) {
      Link& link = links[l];
      const pollfd& from_client = fds[3 + 2 * l];
      const pollfd& from_server = fds[4 + 2 * l];
      if (from_client.revents != 0) {
        const ssize_t n = ::read(link.client, buffer, sizeof buffer);
        if (n <= 0 || !send_all(link.server, buffer, static_cast<std::size_t>(n))) {
          drop(link);
          continue;
        }
      }
      if (from_server.revents == 0) continue;
      const ssize_t n = ::read(link.server, buffer, sizeof buffer);
      if (n <= 0) {
        drop(link);
        continue;
      }
      auto size = static_cast<std::size_t>(n);
      if (link.limit == 0) {
        link.header.append(buffer, std::min(size, kSetupHeader - std::min(kSetupHeader, link.header.size())));
        if (link.header.size() == kSetupHeader) {
          const auto units = static_cast<std::size_t>(static_cast<unsigned char>(link.header[6])) |
                             static_cast<std::size_t>(static_cast<unsigned char>(link.header[7])) << 8;
          link.limit = kSetupHeader + 4 * units + relay_->bytes_after_setup;
        }
      }
      if (link.limit != 0) size = std::min(size, link.limit - link.relayed);
      link.relayed += size;
      if (!send_all(link.client, buffer, size) || (link.limit != 0 && link.relayed >= link.limit)) drop(link);
    }
    std::erase_if(links, [](const Link& link) { return link.client < 0; });
  }
  for (int fd : silent) ::close(fd);
  for (Link& link : links) drop(link);
}

}  // namespace qv::testing
