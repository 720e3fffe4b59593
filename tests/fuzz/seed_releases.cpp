#include "seed_releases.hpp"

#include <fmt/format.h>

#include "support/release_builder.hpp"

namespace qv::fuzz {

std::vector<Manifest> seed_manifests() {
  std::vector<Manifest> out;
  out.push_back(test::test_manifest({test::sample_entry("game.exe")}));

  Manifest full = test::test_manifest({test::sample_entry("Game/QVOnline.exe")}, 42);
  const HashAlgorithm algorithms[] = {HashAlgorithm::Xxh64, HashAlgorithm::Xxh3_64, HashAlgorithm::Xxh3_128,
                                      HashAlgorithm::Blake3};
  const std::size_t digest_lengths[] = {16, 16, 32, 64};
  for (std::size_t i = 0; i < 4; ++i) {
    FileEntry entry = test::sample_entry(fmt::format("data/\u0e01-{}.pak", i));
    entry.algorithm = algorithms[i];
    entry.digest = std::string(digest_lengths[i], "0123456789abcdef"[i]);
    entry.key.fill(static_cast<std::uint8_t>(i + 1));
    entry.nonce.fill(static_cast<std::uint8_t>(0xF0 + i));
    full.files.push_back(std::move(entry));
  }
  full.delete_ = {"old/readme.txt", "Old/Data.PAK"};
  full.links = {"https://example.test/register", "https://example.test/topup", ""};
  full.game_args = {"-windowed", "--lang=th", ""};
  full.min_launcher = 4;
  full.zstd_level = 19;
  full.decoder_window_log = 23;
  out.push_back(std::move(full));

  std::vector<FileEntry> many;
  for (int i = 0; i < 40; ++i) many.push_back(test::sample_entry(fmt::format("maps/{:03}.map", i)));
  out.push_back(test::test_manifest(std::move(many), 7));
  return out;
}

}  // namespace qv::fuzz
