// Shared pieces of the fuzz targets and their seed programs.
//
// A target is tests/fuzz/<name>_fuzz.cpp defining LLVMFuzzerTestOneInput; it
// must accept any bytes, fail cleanly on what it refuses, and call
// `fuzz_check` for every property a correct reader keeps (a round trip, an
// invariant), so that a wrong result is a finding like a crash. The seed
// program <name>_seeds (from <name>_seeds.cpp, optional) defines
// `write_seeds` and writes the target's starting corpus: real releases made
// by the test release builder with the keys the target opens them with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

#include "platform/fd.hpp"
#include "support/release_builder.hpp"

namespace qv::fuzz {

// The release keys every target opens and every seed is sealed with.
const test::ReleaseKeys& release_keys();
// The seed of the test content objects' key and nonce prefix.
inline constexpr std::uint64_t kObjectSeed = 7;

// The input as text.
inline std::string_view as_text(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// Splits `text` at the first `separator` (dropped); all of it goes first when
// there is none.
std::pair<std::string_view, std::string_view> split_once(std::string_view text, char separator);

// An anonymous in-memory file holding `bytes`, positioned at offset 0, for the
// readers that take a file descriptor. Aborts when the file cannot be made.
platform::UniqueFd memory_file(std::span<const std::uint8_t> bytes);

// Reports a broken property with its text and aborts, so that libFuzzer
// keeps the input as a reproducer.
[[noreturn]] void fuzz_failure(std::string_view what, std::string_view detail = {});
inline void fuzz_check(bool ok, std::string_view what, std::string_view detail = {}) {
  if (!ok) fuzz_failure(what, detail);
}

// Where a seed program puts its inputs: one file per seed in the folder named
// on its command line.
class SeedWriter {
 public:
  explicit SeedWriter(std::filesystem::path dir) : dir_(std::move(dir)) {}
  void add(std::string_view name, std::span<const std::uint8_t> bytes);
  void add(std::string_view name, std::string_view bytes);
  // The path a seed of this name is written to, for builders that write
  // files themselves (content objects).
  std::filesystem::path path(std::string_view name) const;

 private:
  std::filesystem::path dir_;
};

// Defined by each <name>_seeds.cpp. Builder failures throw.
void write_seeds(SeedWriter& out);

}  // namespace qv::fuzz
