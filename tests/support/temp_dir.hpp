// A temporary folder for one test (mode 0755, so an unprivileged child can
// reach it), removed with everything below it at the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace qv::test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The canonical path of the folder.
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(std::string_view relative) const { return path_ / relative; }

 private:
  std::filesystem::path path_;
};

// Writes `content` to `path`, creating its folders; returns the path.
std::filesystem::path write_file(const std::filesystem::path& path, std::string_view content);
// `size` deterministic bytes that do not compress (xorshift from `seed`).
std::string noise_bytes(std::size_t size, std::uint64_t seed = 88172645463325252ull);
// The whole content of a small test file.
std::string read_file(const std::filesystem::path& path);

}  // namespace qv::test
