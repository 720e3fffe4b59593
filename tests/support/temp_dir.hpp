// A temporary folder for one test (mode 0755, so an unprivileged child can
// reach it), removed with everything below it at the end. Benchmarks make
// theirs inside a folder they are given: only the folder made here is ever
// removed, never the one given.
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
  // A new folder `prefix` + six random characters inside `parent`, which
  // must exist. Throws std::runtime_error when it cannot be made.
  TempDir(const std::filesystem::path& parent, std::string_view prefix);
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The canonical path of the folder.
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(std::string_view relative) const { return path_ / relative; }
  // Leaves the folder and its content in place at the end.
  void keep() { keep_ = true; }

 private:
  std::filesystem::path path_;
  bool keep_ = false;
};

// Writes `content` to `path`, creating its folders; returns the path.
std::filesystem::path write_file(const std::filesystem::path& path, std::string_view content);
// `size` deterministic bytes that do not compress (xorshift from `seed`).
std::string noise_bytes(std::size_t size, std::uint64_t seed = 88172645463325252ull);
// The whole content of a small test file.
std::string read_file(const std::filesystem::path& path);

}  // namespace qv::test
