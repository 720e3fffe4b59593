#include "platform/windows_program.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "platform/environment.hpp"
#include "platform/fs.hpp"

namespace qv::platform {
namespace {

// The MS-DOS header: "MZ", and at 0x3C the offset of the PE header.
constexpr std::size_t kDosHeaderBytes = 64;
constexpr std::size_t kPeOffsetField = 0x3C;
constexpr std::uint32_t kMaxPeOffset = 1u << 20;
constexpr char kDosMagic[] = {'M', 'Z'};
constexpr char kPeSignature[] = {'P', 'E', '\0', '\0'};

// Reads exactly `size` bytes at `offset`: false at an earlier end of file.
Result<bool> read_exactly(int fd, std::uint64_t offset, char* out, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::pread(fd, out + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail_os(errno);
    if (n == 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

Result<bool> is_windows_program(const std::filesystem::path& path) {
  const UniqueFd fd = QV_TRY(open_fd(path, O_RDONLY | O_NOCTTY | O_NONBLOCK));
  std::array<char, kDosHeaderBytes> header{};
  if (!QV_TRY(read_exactly(fd.get(), 0, header.data(), header.size()))) return false;
  if (std::memcmp(header.data(), kDosMagic, sizeof kDosMagic) != 0) return false;
  const auto byte = [&](std::size_t i) { return static_cast<std::uint32_t>(static_cast<unsigned char>(header[i])); };
  const std::uint32_t offset = byte(kPeOffsetField) | byte(kPeOffsetField + 1) << 8 |
                               byte(kPeOffsetField + 2) << 16 | byte(kPeOffsetField + 3) << 24;
  if (offset > kMaxPeOffset) return false;
  char signature[sizeof kPeSignature] = {};
  if (!QV_TRY(read_exactly(fd.get(), offset, signature, sizeof signature))) return false;
  return std::memcmp(signature, kPeSignature, sizeof kPeSignature) == 0;
}

std::optional<std::filesystem::path> find_wine_loader() {
  if (auto loader = environment_variable("WINELOADER"); loader && !loader->empty() && loader->front() == '/') {
    if (is_executable_file(*loader)) return std::filesystem::path(*loader);
  }
  return find_program_on_path("wine");
}

}  // namespace qv::platform
