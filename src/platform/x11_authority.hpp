// The cookie an X client shows the server, read from an X authority file
// (the format of ~/.Xauthority) without ever waiting on the file.
//
// The file is opened without blocking and refused unless it is a regular file
// of at most 1 MiB: a FIFO, a device or a folder at its name holds no cookie,
// so a scan never waits for a writer that does not come. At most one read runs
// in the process at a time; a caller that cannot start its read before its
// deadline (another read hangs on a network file system that stopped
// answering) finds no cookie instead of waiting on, so no more than that one
// thread is ever held by a file.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace qv::platform {

// The address families of an authority entry.
inline constexpr std::uint16_t kAuthorityInternet = 0;
inline constexpr std::uint16_t kAuthorityInternet6 = 6;
inline constexpr std::uint16_t kAuthorityLocal = 256;  // a server on this machine, by host name
inline constexpr std::uint16_t kAuthorityWild = 65535;  // any address

struct XCookie {
  std::string name;  // the method, "MIT-MAGIC-COOKIE-1"
  std::string data;
};

// The first MIT-MAGIC-COOKIE-1 entry of `file` for the server at `address`
// of `family` and the display `number` (decimal text), matched as X clients
// match it: an entry of the wild family matches any address, an entry without
// a display number any display. Nothing when there is none, when the file
// cannot be read as described above, or when its entries do not parse.
// Any thread.
std::optional<XCookie> find_x_cookie(const std::filesystem::path& file, std::uint16_t family,
                                     std::string_view address, std::string_view number,
                                     std::chrono::steady_clock::time_point deadline);

}  // namespace qv::platform
