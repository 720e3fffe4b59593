#include "core/foundations/hashing.hpp"

#include <blake3.h>
#include <openssl/evp.h>
#if defined(__x86_64__)
#define XXH_DISPATCH_DISABLE_REPLACE
#include <xxh_x86dispatch.h>
#endif

#include <array>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "platform/sequential_read.hpp"

namespace qv {
namespace {

constexpr std::array<std::string_view, 6> kAlgorithmNames = {"xxh64",  "xxh3-64", "xxh3-128",
                                                             "blake3", "sha256",  "read"};

// Large enough that per-call overhead vanishes and the SIMD paths of the hash
// libraries see long runs, small enough to stay in the processor's cache.
constexpr std::size_t kReadChunk = 1024 * 1024;

// The hash libraries only fail when memory runs out; there is no sensible
// digest to return then.
[[noreturn]] void hash_library_failed(const char* what) {
  std::fprintf(stderr, "content hashing: %s failed\n", what);
  std::abort();
}

constexpr char kHexDigits[] = "0123456789abcdef";

// The library's plain XXH3 entry points run SSE2 code; its dispatching ones
// pick AVX2 or AVX-512 when the processor has them, about twice as fast.
XXH_errorcode xxh3_update(XXH3_state_t* state, const void* data, std::size_t size) {
#if defined(__x86_64__)
  return XXH3_128bits_update_dispatch(state, data, size);
#else
  return XXH3_128bits_update(state, data, size);
#endif
}

void append_hex_u64(std::string& out, std::uint64_t value) {
  for (int shift = 60; shift >= 0; shift -= 4) out.push_back(kHexDigits[(value >> shift) & 0xF]);
}

// The XXH3 and BLAKE3 libraries pick their vector code on first use and keep
// the choice in plain globals. Making that first use here, once, under the
// thread-safe initialisation of a local static, keeps hashers started at the
// same moment on several threads from racing on those globals.
void choose_vector_code_once() {
  static const bool chosen = [] {
#if defined(__x86_64__)
    (void)XXH3_64bits_dispatch("", 0);
#endif
    blake3_hasher hasher;
    blake3_hasher_init(&hasher);
    std::uint8_t out[BLAKE3_OUT_LEN];
    blake3_hasher_finalize(&hasher, out, sizeof out);
    return true;
  }();
  (void)chosen;
}

}  // namespace

struct ContentHasher::Blake3State {
  blake3_hasher hasher;
};

void ContentHasher::Blake3Free::operator()(Blake3State* state) const { delete state; }
void ContentHasher::EvpFree::operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }

ContentHasher::~ContentHasher() = default;

std::string_view hash_algorithm_name(HashAlgorithm algorithm) {
  return kAlgorithmNames[static_cast<std::size_t>(algorithm)];
}

std::optional<HashAlgorithm> parse_hash_algorithm(std::string_view name) {
  for (std::size_t i = 0; i < kAlgorithmNames.size(); ++i) {
    if (kAlgorithmNames[i] == name) return static_cast<HashAlgorithm>(i);
  }
  return std::nullopt;
}

std::string unknown_algorithm_error(std::string_view received) {
  std::string text = "unknown variant `";
  text += received;
  text += "`, expected one of ";
  for (std::size_t i = 0; i < kAlgorithmNames.size(); ++i) {
    if (i > 0) text += ", ";
    text += '`';
    text += kAlgorithmNames[i];
    text += '`';
  }
  return text;
}

ContentHasher::ContentHasher(HashAlgorithm algorithm) : algorithm_(algorithm), state_(Discard{}) {
  choose_vector_code_once();
  switch (algorithm) {
    case HashAlgorithm::Xxh64: {
      auto& s = state_.emplace<Xxh64>();
      if (XXH64_reset(&s.state, 0) != XXH_OK) hash_library_failed("XXH64_reset");
      break;
    }
    case HashAlgorithm::Xxh3_64:
    case HashAlgorithm::Xxh3_128: {
      auto& s = state_.emplace<Xxh3>();
      // One reset serves both widths: the 64- and 128-bit digests of XXH3
      // are finished from the same accumulated state.
      if (XXH3_128bits_reset(&s.state) != XXH_OK) hash_library_failed("XXH3_128bits_reset");
      break;
    }
    case HashAlgorithm::Blake3: {
      auto& s = state_.emplace<Blake3>();
      s.state.reset(new Blake3State);
      blake3_hasher_init(&s.state->hasher);
      break;
    }
    case HashAlgorithm::Sha256: {
      auto& s = state_.emplace<Sha256>();
      s.context.reset(EVP_MD_CTX_new());
      if (!s.context || EVP_DigestInit_ex(s.context.get(), EVP_sha256(), nullptr) != 1) {
        hash_library_failed("SHA-256 init");
      }
      break;
    }
    case HashAlgorithm::Read: break;
  }
}

ContentHasher content_hasher_new(HashAlgorithm algorithm) { return ContentHasher(algorithm); }

void content_hasher_update(ContentHasher& hasher, std::span<const std::byte> bytes) {
  if (bytes.empty()) return;
  const void* data = bytes.data();
  const std::size_t size = bytes.size();
  std::visit(
      [&](auto& s) {
        using S = std::decay_t<decltype(s)>;
        if constexpr (std::is_same_v<S, ContentHasher::Xxh64>) {
          if (XXH64_update(&s.state, data, size) != XXH_OK) hash_library_failed("XXH64_update");
        } else if constexpr (std::is_same_v<S, ContentHasher::Xxh3>) {
          if (xxh3_update(&s.state, data, size) != XXH_OK) hash_library_failed("XXH3_update");
        } else if constexpr (std::is_same_v<S, ContentHasher::Blake3>) {
          blake3_hasher_update(&s.state->hasher, data, size);
        } else if constexpr (std::is_same_v<S, ContentHasher::Sha256>) {
          if (EVP_DigestUpdate(s.context.get(), data, size) != 1) hash_library_failed("SHA-256 update");
        }
      },
      hasher.state_);
}

void content_hasher_update(ContentHasher& hasher, std::string_view bytes) {
  content_hasher_update(hasher, std::as_bytes(std::span(bytes.data(), bytes.size())));
}

std::string content_hasher_finish(ContentHasher&& hasher) {
  ContentHasher owned = std::move(hasher);
  std::string out;
  std::visit(
      [&](auto& s) {
        using S = std::decay_t<decltype(s)>;
        if constexpr (std::is_same_v<S, ContentHasher::Xxh64>) {
          append_hex_u64(out, XXH64_digest(&s.state));
        } else if constexpr (std::is_same_v<S, ContentHasher::Xxh3>) {
          if (owned.algorithm_ == HashAlgorithm::Xxh3_128) {
            XXH128_hash_t h = XXH3_128bits_digest(&s.state);
            append_hex_u64(out, h.high64);
            append_hex_u64(out, h.low64);
          } else {
            append_hex_u64(out, XXH3_64bits_digest(&s.state));
          }
        } else if constexpr (std::is_same_v<S, ContentHasher::Blake3>) {
          std::array<std::uint8_t, BLAKE3_OUT_LEN> digest;
          blake3_hasher_finalize(&s.state->hasher, digest.data(), digest.size());
          out = to_hex(digest);
        } else if constexpr (std::is_same_v<S, ContentHasher::Sha256>) {
          std::array<std::uint8_t, 32> digest;
          unsigned int length = 0;
          if (EVP_DigestFinal_ex(s.context.get(), digest.data(), &length) != 1 || length != digest.size()) {
            hash_library_failed("SHA-256 final");
          }
          out = to_hex(digest);
        }
      },
      owned.state_);
  return out;
}

Result<std::string> hash_file(const std::filesystem::path& path, HashAlgorithm algorithm) {
  auto buffer = std::make_unique<std::byte[]>(kReadChunk);  // zero-filled
  return hash_file(path, algorithm, std::span(buffer.get(), kReadChunk));
}

Result<std::string> hash_file(const std::filesystem::path& path, HashAlgorithm algorithm,
                              std::span<std::byte> buffer) {
  platform::UniqueFd fd = QV_TRY(platform::open_sequential_read(path));
  return hash_open_file(fd.get(), algorithm, buffer);
}

Result<std::string> hash_open_file(int fd, HashAlgorithm algorithm, std::span<std::byte> buffer) {
  ContentHasher hasher = content_hasher_new(algorithm);
  for (;;) {
    std::size_t n = QV_TRY(platform::read_some(fd, buffer));
    if (n == 0) break;
    content_hasher_update(hasher, std::span<const std::byte>(buffer.data(), n));
  }
  return content_hasher_finish(std::move(hasher));
}

Sha256Digest hash_bytes_sha256(std::span<const std::byte> bytes) {
  ContentHasher hasher = content_hasher_new(HashAlgorithm::Sha256);
  Sha256Digest result;
  while (!bytes.empty()) {
    std::size_t slice = std::min(bytes.size(), kReadChunk);
    content_hasher_update(hasher, bytes.first(slice));
    result.length += slice;
    bytes = bytes.subspan(slice);
  }
  result.digest = content_hasher_finish(std::move(hasher));
  return result;
}

Sha256Digest hash_bytes_sha256(std::string_view bytes) {
  return hash_bytes_sha256(std::as_bytes(std::span(bytes.data(), bytes.size())));
}

std::string to_hex(std::span<const std::byte> bytes) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (std::byte b : bytes) {
    auto v = std::to_integer<unsigned>(b);
    out.push_back(kHexDigits[v >> 4]);
    out.push_back(kHexDigits[v & 0xF]);
  }
  return out;
}

std::string to_hex(std::span<const std::uint8_t> bytes) { return to_hex(std::as_bytes(bytes)); }

}  // namespace qv
