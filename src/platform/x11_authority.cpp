#include "platform/x11_authority.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "platform/fs.hpp"

namespace qv::platform {
namespace {

// Far above any real authority file, which holds a few entries per display.
constexpr std::size_t kMaxAuthorityBytes = 1 << 20;
constexpr std::string_view kMagicCookie = "MIT-MAGIC-COOKIE-1";

// Held while a file is read; see the header.
std::timed_mutex g_reading;

// The whole file, when it is a regular file of bounded size.
std::optional<std::string> read_regular_file(const std::filesystem::path& file) {
  // O_NONBLOCK makes the open of a FIFO return at once; it is refused below.
  auto fd = open_fd(file, O_RDONLY | O_NONBLOCK | O_NOCTTY);
  if (!fd) return std::nullopt;
  auto info = stat_fd(fd->get());
  if (!info || info->kind != FileKind::Regular || info->size > kMaxAuthorityBytes) return std::nullopt;
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd->get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) return text;
    if (text.size() + static_cast<std::size_t>(n) > kMaxAuthorityBytes) return std::nullopt;
    text.append(buffer, static_cast<std::size_t>(n));
  }
}

// Reads the file's entries one field at a time: a 16-bit family, then four
// counted fields (address, display number, method, data), numbers big-endian.
class EntryReader {
 public:
  explicit EntryReader(std::string_view text) : rest_(text) {}

  bool at_end() const { return rest_.empty(); }

  bool number(std::uint16_t& value) {
    if (rest_.size() < 2) return false;
    value = static_cast<std::uint16_t>((static_cast<unsigned char>(rest_[0]) << 8) | static_cast<unsigned char>(rest_[1]));
    rest_.remove_prefix(2);
    return true;
  }

  bool field(std::string_view& value) {
    std::uint16_t length = 0;
    if (!number(length) || rest_.size() < length) return false;
    value = rest_.substr(0, length);
    rest_.remove_prefix(length);
    return true;
  }

 private:
  std::string_view rest_;
};

}  // namespace

std::optional<XCookie> find_x_cookie(const std::filesystem::path& file, std::uint16_t family,
                                     std::string_view address, std::string_view number,
                                     std::chrono::steady_clock::time_point deadline) {
  if (file.empty()) return std::nullopt;
  std::unique_lock lock(g_reading, std::defer_lock);
  if (!lock.try_lock_until(deadline)) return std::nullopt;
  const auto text = read_regular_file(file);
  lock.unlock();
  if (!text) return std::nullopt;
  EntryReader reader(*text);
  while (!reader.at_end()) {
    std::uint16_t entry_family = 0;
    std::string_view entry_address, entry_number, name, data;
    if (!reader.number(entry_family) || !reader.field(entry_address) || !reader.field(entry_number) ||
        !reader.field(name) || !reader.field(data)) {
      return std::nullopt;
    }
    const bool address_matches =
        entry_family == kAuthorityWild || (entry_family == family && entry_address == address);
    const bool number_matches = entry_number.empty() || entry_number == number;
    if (address_matches && number_matches && name == kMagicCookie) {
      return XCookie{std::string(name), std::string(data)};
    }
  }
  return std::nullopt;
}

}  // namespace qv::platform
