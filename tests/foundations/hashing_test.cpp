#include "core/foundations/hashing.hpp"

#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/temp_dir.hpp"

namespace qv {
namespace {

namespace fs = std::filesystem;

constexpr std::array kDigestAlgorithms = {HashAlgorithm::Xxh64, HashAlgorithm::Xxh3_64, HashAlgorithm::Xxh3_128,
                                          HashAlgorithm::Blake3, HashAlgorithm::Sha256};

// The digest that Debian's own command-line tool prints for the file.
std::string reference_digest(HashAlgorithm algorithm, const fs::path& file) {
  std::string command;
  switch (algorithm) {
    case HashAlgorithm::Xxh64: command = "xxhsum -H1 "; break;
    case HashAlgorithm::Xxh3_64: command = "xxhsum -H3 "; break;
    case HashAlgorithm::Xxh3_128: command = "xxhsum -H2 "; break;
    case HashAlgorithm::Blake3: command = "b3sum --num-threads 1 --no-names "; break;
    case HashAlgorithm::Sha256: command = "sha256sum "; break;
    case HashAlgorithm::Read: return "";
  }
  command += "'" + file.string() + "'";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return "popen failed";
  std::string output;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
  if (::pclose(pipe) != 0) return "tool failed: " + output;
  // "HEX  name", or the tagged form "XXH3 (name) = HEX" for the 64-bit XXH3.
  if (auto eq = output.rfind("= "); eq != std::string::npos) output = output.substr(eq + 2);
  return output.substr(0, output.find_first_of(" \n"));
}

// Deterministic, incompressible-looking bytes.
std::string pseudo_random_bytes(std::size_t size) { return test::noise_bytes(size, 0x9e3779b97f4a7c15ull); }

std::string hash_in_chunks(HashAlgorithm algorithm, std::string_view data, const std::vector<std::size_t>& sizes) {
  ContentHasher hasher = content_hasher_new(algorithm);
  std::size_t i = 0;
  while (!data.empty()) {
    std::size_t n = std::min(sizes[i++ % sizes.size()], data.size());
    content_hasher_update(hasher, data.substr(0, n));
    content_hasher_update(hasher, std::string_view());  // empty feeds change nothing
    data.remove_prefix(n);
  }
  return content_hasher_finish(std::move(hasher));
}

TEST(Hashing, KnownDigestsOfEmptyAndAbc) {
  struct Row {
    HashAlgorithm algorithm;
    const char* empty;
    const char* abc;
  };
  const Row rows[] = {
      {HashAlgorithm::Xxh64, "ef46db3751d8e999", "44bc2cf5ad770999"},
      {HashAlgorithm::Xxh3_64, "2d06800538d394c2", "78af5f94892f3950"},
      {HashAlgorithm::Xxh3_128, "99aa06d3014798d86001c324468d497f", "06b05ab6733a618578af5f94892f3950"},
      {HashAlgorithm::Blake3, "af1349b9f5f9a1a6a0404dea36dcc9499bcb25c9adc112b7cc9a93cae41f3262",
       "6437b3ac38465133ffb63b75273a8db548c558465d79db03fd359c6cd5bd9d85"},
      {HashAlgorithm::Sha256, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
       "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {HashAlgorithm::Read, "", ""},
  };
  test::TempDir dir;
  const fs::path empty = test::write_file(dir / "empty", "");
  const fs::path abc = test::write_file(dir / "abc", "abc");
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(hash_algorithm_name(row.algorithm)));
    EXPECT_EQ(content_hasher_finish(content_hasher_new(row.algorithm)), row.empty);
    EXPECT_EQ(hash_in_chunks(row.algorithm, "abc", {1}), row.abc);
    EXPECT_EQ(hash_file(empty, row.algorithm), row.empty);
    EXPECT_EQ(hash_file(abc, row.algorithm), row.abc);
    if (row.algorithm != HashAlgorithm::Read) {
      EXPECT_EQ(reference_digest(row.algorithm, empty), row.empty);
      EXPECT_EQ(reference_digest(row.algorithm, abc), row.abc);
    }
  }
}

TEST(Hashing, MultiMegabyteInputMatchesReferenceToolsHoweverItIsSplit) {
  // Past several 1 MiB reads and not a multiple of any block size.
  const std::string data = pseudo_random_bytes(5 * 1024 * 1024 + 12345);
  test::TempDir dir;
  const fs::path file = test::write_file(dir / "big", data);
  for (HashAlgorithm algorithm : kDigestAlgorithms) {
    SCOPED_TRACE(std::string(hash_algorithm_name(algorithm)));
    const std::string expected = reference_digest(algorithm, file);
    EXPECT_EQ(hash_file(file, algorithm), expected);
    EXPECT_EQ(hash_in_chunks(algorithm, data, {1, 3, 63, 64, 65, 1023, 4097, 1 << 20, (1 << 20) + 1}), expected);
    EXPECT_EQ(hash_in_chunks(algorithm, data, {data.size()}), expected);
  }
  EXPECT_EQ(hash_file(file, HashAlgorithm::Read), "");
  EXPECT_EQ(hash_bytes_sha256(data), (Sha256Digest{data.size(), reference_digest(HashAlgorithm::Sha256, file)}));
}

TEST(Hashing, HashFileRunsOnSeveralThreadsAtOnce) {
  // The engine hashes on its worker and on four download threads together.
  const std::string data = pseudo_random_bytes(3 * 1024 * 1024 + 7);
  test::TempDir dir;
  const fs::path file = test::write_file(dir / "shared", data);
  std::vector<std::string> results(kDigestAlgorithms.size() * 2);
  {
    std::vector<std::jthread> threads;
    for (std::size_t i = 0; i < results.size(); ++i) {
      threads.emplace_back([&, i] {
        auto digest = hash_file(file, kDigestAlgorithms[i % kDigestAlgorithms.size()]);
        results[i] = digest ? *digest : digest.error().to_string();
      });
    }
  }
  std::vector<std::string> expected;
  for (HashAlgorithm algorithm : kDigestAlgorithms) expected.push_back(hash_in_chunks(algorithm, data, {data.size()}));
  for (std::size_t i = 0; i < results.size(); ++i) EXPECT_EQ(results[i], expected[i % expected.size()]);
}

TEST(Hashing, XxhashDigestsKeepLeadingZeros) {
  // For each 64/128-bit member, the first small input whose digest starts with
  // a zero digit; the text must keep full width and match the tool.
  test::TempDir dir;
  for (HashAlgorithm algorithm : {HashAlgorithm::Xxh64, HashAlgorithm::Xxh3_64, HashAlgorithm::Xxh3_128}) {
    SCOPED_TRACE(std::string(hash_algorithm_name(algorithm)));
    std::string input, digest;
    for (int i = 0; i < 10000; ++i) {
      input = "input " + std::to_string(i);
      digest = hash_in_chunks(algorithm, input, {input.size()});
      if (digest.starts_with("00")) break;
    }
    ASSERT_TRUE(digest.starts_with("00"));
    EXPECT_EQ(digest.size(), algorithm == HashAlgorithm::Xxh3_128 ? 32u : 16u);
    EXPECT_EQ(digest, reference_digest(algorithm, test::write_file(dir / "zeros", input)));
  }
}

TEST(Hashing, HashFileReportsOperatingSystemErrors) {
  test::TempDir dir;
  auto missing = hash_file(dir.path() / "missing", HashAlgorithm::Sha256);
  ASSERT_FALSE(missing);
  EXPECT_TRUE(missing.error().is_not_found());
  EXPECT_EQ(missing.error().to_string(), "No such file or directory (os error 2)");
  // A folder opens but cannot be read: the read error surfaces, "read" included.
  for (HashAlgorithm algorithm : {HashAlgorithm::Blake3, HashAlgorithm::Read}) {
    auto folder = hash_file(dir.path(), algorithm);
    ASSERT_FALSE(folder);
    EXPECT_EQ(folder.error().to_string(), "Is a directory (os error 21)");
  }
}

TEST(Hashing, NamesAreExactAndUnknownOnesListTheSix) {
  for (int i = 0; i < 6; ++i) {
    auto algorithm = static_cast<HashAlgorithm>(i);
    EXPECT_EQ(parse_hash_algorithm(hash_algorithm_name(algorithm)), algorithm);
  }
  for (const char* bad : {"SHA256", "sha256 ", "", "xxh3", "Blake3"})
    EXPECT_EQ(parse_hash_algorithm(bad), std::nullopt);
  EXPECT_EQ(unknown_algorithm_error("SHA256"),
            "unknown variant `SHA256`, expected one of `xxh64`, `xxh3-64`, `xxh3-128`, `blake3`, `sha256`, `read`");
}

TEST(Hashing, ToHexAndInMemorySha256) {
  EXPECT_EQ(to_hex(std::span<const std::uint8_t>()), "");
  const std::array<std::uint8_t, 3> bytes = {0x00, 0xff, 0x5a};
  EXPECT_EQ(to_hex(bytes), "00ff5a");
  EXPECT_EQ(hash_bytes_sha256(""),
            (Sha256Digest{0, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"}));
  EXPECT_EQ(hash_bytes_sha256("abc").length, 3u);
}

TEST(Hashing, MovedHasherKeepsItsState) {
  for (HashAlgorithm algorithm : kDigestAlgorithms) {
    ContentHasher first = content_hasher_new(algorithm);
    content_hasher_update(first, "ab");
    ContentHasher second = std::move(first);
    content_hasher_update(second, "c");
    EXPECT_EQ(content_hasher_finish(std::move(second)), hash_in_chunks(algorithm, "abc", {3}));
  }
}

}  // namespace
}  // namespace qv
