#include "fuzz_support.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace qv::fuzz {

const test::ReleaseKeys& release_keys() {
  static const test::ReleaseKeys keys = test::ReleaseKeys::from_seed(5);
  return keys;
}

std::pair<std::string_view, std::string_view> split_once(std::string_view text, char separator) {
  const std::size_t at = text.find(separator);
  if (at == std::string_view::npos) return {text, {}};
  return {text.substr(0, at), text.substr(at + 1)};
}

platform::UniqueFd memory_file(std::span<const std::uint8_t> bytes) {
  platform::UniqueFd fd(::memfd_create("qv-fuzz-input", MFD_CLOEXEC));
  if (!fd) fuzz_failure("memfd_create failed");
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
    if (n <= 0) fuzz_failure("cannot fill the in-memory file");
    done += static_cast<std::size_t>(n);
  }
  if (::lseek(fd.get(), 0, SEEK_SET) != 0) fuzz_failure("cannot rewind the in-memory file");
  return fd;
}

void fuzz_failure(std::string_view what, std::string_view detail) {
  std::fprintf(stderr, "fuzz property broken: %.*s\n", static_cast<int>(what.size()), what.data());
  if (!detail.empty()) std::fprintf(stderr, "  %.*s\n", static_cast<int>(detail.size()), detail.data());
  std::abort();
}

void SeedWriter::add(std::string_view name, std::span<const std::uint8_t> bytes) {
  add(name, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

void SeedWriter::add(std::string_view name, std::string_view bytes) {
  std::ofstream out(path(name), std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write seed " + path(name).string());
}

std::filesystem::path SeedWriter::path(std::string_view name) const { return dir_ / name; }

}  // namespace qv::fuzz
