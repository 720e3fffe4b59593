// The connected Unix sockets of this system as the kernel's socket diagnostics
// report them: which socket is connected to which, and the address each end is
// bound to. A server's end of an accepted connection carries the address of
// the socket it listens on, so the connections of one server can be told by
// that address.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/error.hpp"

namespace qv::platform {

struct UnixSocketLink {
  std::uint64_t inode = 0;  // as /proc/<pid>/fd shows it ("socket:[inode]")
  std::uint64_t peer = 0;   // the socket at the other end
  // The bound address: a path, or an abstract name beginning with a NUL byte;
  // empty when the socket is not bound.
  std::string name;
};

// Every Unix socket of this network namespace that is connected to another.
// Fails with the operating-system error (where the kernel has no socket
// diagnostics for Unix sockets, for instance). Any thread.
Result<std::vector<UnixSocketLink>> list_connected_unix_sockets();

}  // namespace qv::platform
