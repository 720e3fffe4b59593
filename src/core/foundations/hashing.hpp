// Content hashing: the algorithms a release may name, the streaming hasher and
// the digest texts every caller compares byte for byte.
//
// Every digest leaves this module as lower-case hexadecimal:
//   xxh64, xxh3-64   16 digits, the 64-bit value most significant digit first
//   xxh3-128         32 digits, the high 64-bit half first
//   blake3, sha256   64 digits, the output bytes in order
//   read             the empty text (input is consumed and ignored)
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#define XXH_STATIC_LINKING_ONLY  // the state structs, so they live inside the hasher
#include <openssl/types.h>
#include <xxhash.h>

#include "platform/error.hpp"

namespace qv {

// Numbered 0 to 5 in this order; "read" yields no digest and is refused in
// releases.
enum class HashAlgorithm : std::uint8_t { Xxh64, Xxh3_64, Xxh3_128, Blake3, Sha256, Read };

// The name a manifest stores for the algorithm: "xxh64", "xxh3-64",
// "xxh3-128", "blake3", "sha256" or "read".
std::string_view hash_algorithm_name(HashAlgorithm algorithm);

// The member whose name is exactly `name` (whole text, case-sensitive), or
// nothing.
std::optional<HashAlgorithm> parse_hash_algorithm(std::string_view name);

// The message for an algorithm text that names no member:
// "unknown variant `{received}`, expected one of `xxh64`, ..., `read`".
// The manifest decoder wraps it into its own decoding error.
std::string unknown_algorithm_error(std::string_view received);

// The streaming hasher of one algorithm. A plain move-only value with no shared
// state: one thread at a time may use it, and different hashers may be used on
// different threads at once. The large BLAKE3 state sits in its own heap
// allocation so the hasher stays cheap to move.
class ContentHasher {
 public:
  ContentHasher(ContentHasher&&) noexcept = default;
  ContentHasher& operator=(ContentHasher&&) noexcept = default;
  ~ContentHasher();

  HashAlgorithm algorithm() const { return algorithm_; }

 private:
  struct Blake3State;
  struct Blake3Free {
    void operator()(Blake3State* state) const;
  };
  struct EvpFree {
    void operator()(EVP_MD_CTX* context) const;
  };
  struct Xxh64 {
    XXH64_state_t state;
  };
  struct Xxh3 {
    XXH3_state_t state;  // serves both widths; finish picks one
  };
  struct Blake3 {
    std::unique_ptr<Blake3State, Blake3Free> state;
  };
  struct Sha256 {
    std::unique_ptr<EVP_MD_CTX, EvpFree> context;
  };
  struct Discard {};

  explicit ContentHasher(HashAlgorithm algorithm);

  HashAlgorithm algorithm_;
  std::variant<Xxh64, Xxh3, Blake3, Sha256, Discard> state_;

  friend ContentHasher content_hasher_new(HashAlgorithm algorithm);
  friend void content_hasher_update(ContentHasher& hasher, std::span<const std::byte> bytes);
  friend std::string content_hasher_finish(ContentHasher&& hasher);
};

// A fresh hasher for `algorithm` (XXH seeds 0, XXH3 default secret, plain
// BLAKE3 mode). Cannot fail; aborts only if the process is out of memory.
ContentHasher content_hasher_new(HashAlgorithm algorithm);

// Feeds `bytes` in order; any length, zero included. How the input is split
// into calls does not change the digest.
void content_hasher_update(ContentHasher& hasher, std::span<const std::byte> bytes);
void content_hasher_update(ContentHasher& hasher, std::string_view bytes);

// Consumes the hasher and returns its digest text (see the top of this file).
std::string content_hasher_finish(ContentHasher&& hasher);

// The digest text of the whole file at `path`, read once from start to end in
// 1 MiB reads through one buffer (with "read" the file is still read fully and
// the result is empty). An open or read failure is returned as the
// operating-system error, with no context added. Keeps nothing between calls;
// any thread may call it, several at once.
Result<std::string> hash_file(const std::filesystem::path& path, HashAlgorithm algorithm);
// The same through the caller's read buffer (reads of up to its size, which
// must not be zero), for a caller that hashes many files in a row and would
// otherwise pay for a fresh 1 MiB buffer per file.
Result<std::string> hash_file(const std::filesystem::path& path, HashAlgorithm algorithm,
                              std::span<std::byte> buffer);

// The digest text of what `fd` holds from its current position to its end,
// read through `buffer` (reads of up to its size, which must not be zero). A
// read failure is the operating-system error. The descriptor stays open, and
// is the caller's.
Result<std::string> hash_open_file(int fd, HashAlgorithm algorithm, std::span<std::byte> buffer);

struct Sha256Digest {
  std::uint64_t length = 0;  // bytes fed
  std::string digest;        // "sha256" digest text

  bool operator==(const Sha256Digest&) const = default;
};

// The length and SHA-256 digest text of an in-memory byte sequence.
Sha256Digest hash_bytes_sha256(std::span<const std::byte> bytes);
Sha256Digest hash_bytes_sha256(std::string_view bytes);

// Two lower-case hexadecimal digits per byte, high nibble first.
std::string to_hex(std::span<const std::byte> bytes);
std::string to_hex(std::span<const std::uint8_t> bytes);

}  // namespace qv
