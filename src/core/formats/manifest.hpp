// The release description: the manifest and its records.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "core/foundations/hashing.hpp"

namespace qv {

// One managed file of a release.
struct FileEntry {
  std::string path;  // client-relative
  std::uint64_t bytes = 0;
  HashAlgorithm algorithm = HashAlgorithm::Sha256;
  std::string digest;  // lower-case hexadecimal
  std::string object;  // "objects/" + 32 hex digits + ".qvp"
  std::uint64_t object_bytes = 0;
  std::string object_sha256;
  std::array<std::uint8_t, 32> key{};
  std::array<std::uint8_t, 19> nonce{};

  bool operator==(const FileEntry&) const = default;
};

// The three links the window opens; each an https address or empty.
struct Links {
  std::string register_;  // "register" in the encoded form
  std::string topup;
  std::string discord;

  bool operator==(const Links&) const = default;
};

struct Manifest {
  std::uint32_t format = 0;
  std::uint64_t release = 0;
  std::uint64_t min_launcher = 0;
  std::string name;
  std::int32_t zstd_level = 0;
  std::uint32_t decoder_window_log = 0;
  std::vector<FileEntry> files;
  std::vector<std::string> delete_;  // "delete" in the encoded form
  Links links;
  std::string game_exe;
  std::vector<std::string> game_args;

  bool operator==(const Manifest&) const = default;
};

}  // namespace qv
