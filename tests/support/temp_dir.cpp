#include "support/temp_dir.hpp"

#include <stdlib.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace qv::test {

TempDir::TempDir() : TempDir(std::filesystem::temp_directory_path(), "qv-test-") {}

TempDir::TempDir(const std::filesystem::path& parent, std::string_view prefix) {
  // mkdtemp never reuses a name, so the folder is this object's alone.
  std::string pattern = (parent / prefix).string() + "XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("cannot make a folder in " + parent.string() + ": " + std::strerror(errno));
  }
  // Reachable by an unprivileged child process that a test starts.
  ::chmod(pattern.c_str(), 0755);
  path_ = std::filesystem::canonical(pattern);
}

TempDir::~TempDir() {
  if (keep_) return;
  std::error_code ec;
  // Tests may leave read-only folders behind; make them writable first.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec)) {
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ec);
    }
  }
  std::filesystem::remove_all(path_, ec);
}

std::filesystem::path write_file(const std::filesystem::path& path, std::string_view content) {
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
  return path;
}

std::string noise_bytes(std::size_t size, std::uint64_t seed) {
  std::string out(size, '\0');
  std::uint64_t x = seed;
  for (char& c : out) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    c = static_cast<char>(x >> 56);
  }
  return out;
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

}  // namespace qv::test
