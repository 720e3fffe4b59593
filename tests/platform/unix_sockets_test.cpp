#include "platform/unix_sockets.hpp"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "support/temp_dir.hpp"

namespace qv::platform {
namespace {

// A listening socket at `name` (a path, or an abstract name with its leading
// NUL) and one connection to it, accepted; every descriptor closed at the end.
class Connection {
 public:
  explicit Connection(const std::string& name) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, name.data(), name.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    client_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ok_ = listener_ >= 0 && client_ >= 0 && ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
          ::listen(listener_, 1) == 0 && ::connect(client_, reinterpret_cast<sockaddr*>(&address), length) == 0;
    if (ok_) server_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    ok_ = ok_ && server_ >= 0;
  }
  ~Connection() {
    for (const int fd : {server_, client_, listener_}) {
      if (fd >= 0) ::close(fd);
    }
  }
  bool ok() const { return ok_; }

 private:
  int listener_ = -1;
  int client_ = -1;
  int server_ = -1;
  bool ok_ = false;
};

// The server's end of a connection carries the listening address exactly as
// it was bound, for a path (which the kernel keeps with its terminating NUL)
// and for an abstract name alike, so the two spellings of one server compare.
TEST(UnixSockets, TheServersEndCarriesTheBoundAddressAsItWasBound) {
  test::TempDir dir;
  const std::string path = (dir.path() / "server").string();
  const std::string abstract = std::string(1, '\0') + path;
  for (const std::string& name : {path, abstract}) {
    SCOPED_TRACE(name.front() == '\0' ? "abstract" : "path");
    const Connection connection(name);
    ASSERT_TRUE(connection.ok());
    const auto links = list_connected_unix_sockets();
    if (!links) GTEST_SKIP() << "no socket diagnostics here: " << links.error().to_string();
    int found = 0;
    for (const auto& link : *links) found += link.name == name ? 1 : 0;
    EXPECT_EQ(found, 1);
  }
}

}  // namespace
}  // namespace qv::platform
