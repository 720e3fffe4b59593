#include "platform/unix_sockets.hpp"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/unix_diag.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/fd.hpp"

namespace qv::platform {
namespace {

// The kernel fills one buffer per read with as many records as fit.
constexpr std::size_t kReceiveBuffer = 32 * 1024;
// The kernel answers a dump at once; this only bounds a kernel that does not.
constexpr long kReceiveTimeoutSeconds = 2;

// Netlink's records and attributes start at multiples of 4 bytes. They are
// read by offset and copied out, so no pointer into the buffer is ever cast.
constexpr std::size_t aligned(std::size_t length) { return (length + 3) & ~std::size_t{3}; }

template <class T>
T read_at(const char* data) {
  T value;
  std::memcpy(&value, data, sizeof value);
  return value;
}

// One record of the dump: the socket, and the attributes asked for.
void read_record(const char* record, std::size_t length, std::vector<UnixSocketLink>& links) {
  const std::size_t body = aligned(sizeof(nlmsghdr));
  if (length < body + sizeof(unix_diag_msg)) return;
  const auto message = read_at<unix_diag_msg>(record + body);
  UnixSocketLink link;
  link.inode = message.udiag_ino;
  for (std::size_t at = body + aligned(sizeof message); at + sizeof(rtattr) <= length;) {
    const auto attribute = read_at<rtattr>(record + at);
    if (attribute.rta_len < sizeof(rtattr) || at + attribute.rta_len > length) break;
    const char* data = record + at + aligned(sizeof(rtattr));
    const std::size_t size = attribute.rta_len - aligned(sizeof(rtattr));
    if (attribute.rta_type == UNIX_DIAG_NAME) {
      link.name.assign(data, size);
      // The kernel keeps a path with its terminating NUL; an abstract name
      // (a leading NUL) is its bytes as they are.
      if (!link.name.empty() && link.name.front() != '\0' && link.name.back() == '\0') link.name.pop_back();
    } else if (attribute.rta_type == UNIX_DIAG_PEER && size >= sizeof(std::uint32_t)) {
      link.peer = read_at<std::uint32_t>(data);
    }
    at += aligned(attribute.rta_len);
  }
  if (link.peer != 0) links.push_back(std::move(link));
}

}  // namespace

Result<std::vector<UnixSocketLink>> list_connected_unix_sockets() {
  UniqueFd fd(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
  if (!fd) return fail_os(errno);
  const timeval timeout{kReceiveTimeoutSeconds, 0};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);

  struct {
    nlmsghdr header;
    unix_diag_req request;
  } query{};
  query.header.nlmsg_len = sizeof query;
  query.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  query.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  query.request.sdiag_family = AF_UNIX;
  query.request.udiag_states = ~0u;
  query.request.udiag_show = UDIAG_SHOW_NAME | UDIAG_SHOW_PEER;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  for (;;) {
    if (::sendto(fd.get(), &query, sizeof query, 0, reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel) >= 0) {
      break;
    }
    if (errno != EINTR) return fail_os(errno);
  }

  std::vector<UnixSocketLink> links;
  std::vector<char> buffer(kReceiveBuffer);
  for (;;) {
    const ssize_t n = ::recv(fd.get(), buffer.data(), buffer.size(), 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail_os(errno);
    }
    if (n == 0) return fail_os(EPROTO);
    const auto received = static_cast<std::size_t>(n);
    for (std::size_t at = 0; at + sizeof(nlmsghdr) <= received;) {
      const auto header = read_at<nlmsghdr>(buffer.data() + at);
      if (header.nlmsg_len < sizeof(nlmsghdr) || at + header.nlmsg_len > received) return fail_os(EPROTO);
      if (header.nlmsg_type == NLMSG_DONE) return links;
      if (header.nlmsg_type == NLMSG_ERROR) {
        if (header.nlmsg_len < aligned(sizeof(nlmsghdr)) + sizeof(nlmsgerr)) return fail_os(EPROTO);
        const auto error = read_at<nlmsgerr>(buffer.data() + at + aligned(sizeof(nlmsghdr)));
        return fail_os(error.error < 0 ? -error.error : EPROTO);
      }
      if (header.nlmsg_type == SOCK_DIAG_BY_FAMILY) read_record(buffer.data() + at, header.nlmsg_len, links);
      at += aligned(header.nlmsg_len);
    }
  }
}

}  // namespace qv::platform
