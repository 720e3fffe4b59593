// A temporary folder for one test, removed with everything below it at the end.
#pragma once

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

// Writes `content` to `path`, creating its folders.
void write_file(const std::filesystem::path& path, std::string_view content);
// The whole content of a small test file.
std::string read_file(const std::filesystem::path& path);

}  // namespace qv::test
