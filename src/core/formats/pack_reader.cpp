// The segment reader: framing checks, per-segment authenticated decryption
// and the end-of-object rule.
#include <sodium.h>

#include <algorithm>
#include <cstring>

#include "core/formats/pack.hpp"
#include "platform/sequential_read.hpp"

namespace qv {
namespace {

static_assert(crypto_aead_xchacha20poly1305_ietf_KEYBYTES == pack::kKeyBytes);
static_assert(crypto_aead_xchacha20poly1305_ietf_ABYTES == pack::kTagBytes);
static_assert(crypto_aead_xchacha20poly1305_ietf_NPUBBYTES == pack::kNoncePrefixBytes + 5);

std::unexpected<Error> framing_error() { return fail(std::string(pack::text::kFraming)); }

// Reads exactly `out.size()` bytes through `read_once`; an input that ends
// first fails with the short-read text.
template <class ReadOnce>
Status read_exact_with(ReadOnce&& read_once, std::span<std::byte> out) {
  std::size_t done = 0;
  while (done < out.size()) {
    const std::size_t n = QV_TRY(read_once(out.subspan(done)));
    if (n == 0) return fail(std::string(pack::text::kShortRead));
    done += n;
  }
  return {};
}

Status read_exact(int fd, std::span<std::byte> out) {
  return read_exact_with([fd](std::span<std::byte> part) { return platform::read_some_retrying(fd, part); }, out);
}

std::uint32_t load_le32(const std::byte* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

}  // namespace

SegmentedDecryptReader::SegmentedDecryptReader(platform::UniqueFd file,
                                               std::span<const std::uint8_t, pack::kKeyBytes> key,
                                               std::span<const std::uint8_t, pack::kNoncePrefixBytes> nonce_prefix)
    : file_(std::move(file)) {
  std::copy(key.begin(), key.end(), key_.begin());
  std::copy(nonce_prefix.begin(), nonce_prefix.end(), nonce_prefix_.begin());
}

SegmentedDecryptReader::SegmentedDecryptReader(SegmentedDecryptReader&& other) noexcept
    : file_(std::move(other.file_)),
      key_(other.key_),
      nonce_prefix_(other.nonce_prefix_),
      counter_(other.counter_),
      final_seen_(other.final_seen_),
      broken_(other.broken_),
      segment_(std::move(other.segment_)),
      plain_size_(other.plain_size_),
      plain_pos_(other.plain_pos_),
      input_source_(std::move(other.input_source_)) {
  other.wipe_key();
}

SegmentedDecryptReader& SegmentedDecryptReader::operator=(SegmentedDecryptReader&& other) noexcept {
  if (this != &other) {
    file_ = std::move(other.file_);
    key_ = other.key_;
    nonce_prefix_ = other.nonce_prefix_;
    counter_ = other.counter_;
    final_seen_ = other.final_seen_;
    broken_ = other.broken_;
    segment_ = std::move(other.segment_);
    plain_size_ = other.plain_size_;
    plain_pos_ = other.plain_pos_;
    input_source_ = std::move(other.input_source_);
    other.wipe_key();
  }
  return *this;
}

SegmentedDecryptReader::~SegmentedDecryptReader() { wipe_key(); }

void SegmentedDecryptReader::wipe_key() { sodium_memzero(key_.data(), key_.size()); }

Result<std::size_t> SegmentedDecryptReader::read(std::span<std::byte> out) {
  while (plain_pos_ == plain_size_) {
    if (final_seen_) return 0;
    // After a failure the file position may be inside a segment and the key
    // may be wiped: nothing further can be trusted.
    if (broken_) return framing_error();
    if (auto opened = open_next_segment(); !opened) {
      broken_ = true;
      return fail(opened.error());
    }
  }
  const std::size_t n = std::min(out.size(), plain_size_ - plain_pos_);
  std::memcpy(out.data(), segment_.get().data() + plain_pos_, n);
  plain_pos_ += n;
  return n;
}

Result<std::size_t> SegmentedDecryptReader::read_input(std::span<std::byte> out) {
  return input_source_ ? input_source_(out) : platform::read_some_retrying(file_.get(), out);
}

Status SegmentedDecryptReader::read_input_exact(std::span<std::byte> out) {
  return read_exact_with([this](std::span<std::byte> part) { return read_input(part); }, out);
}

Status SegmentedDecryptReader::open_next_segment() {
  plain_size_ = 0;
  plain_pos_ = 0;

  std::array<std::byte, pack::kSegmentHeadBytes> head{};
  QV_TRY(read_input_exact(head));
  const std::uint32_t length = load_le32(head.data());
  const auto flag = static_cast<std::uint8_t>(head[4]);
  // Refused before the body is read, so a forged length never sizes a buffer.
  if (length < pack::kMinSegmentLength || length > pack::kMaxSegmentLength || flag > pack::kFlagFinal) {
    return framing_error();
  }
  const bool final = flag == pack::kFlagFinal;

  const std::span<std::byte> segment = segment_.get().first(length);
  QV_TRY(read_input_exact(segment));
  // The last counter value is reserved for a final segment.
  if (!final && counter_ == 0xFFFFFFFFu) return framing_error();

  std::array<std::uint8_t, crypto_aead_xchacha20poly1305_ietf_NPUBBYTES> nonce{};
  std::copy(nonce_prefix_.begin(), nonce_prefix_.end(), nonce.begin());
  nonce[19] = static_cast<std::uint8_t>(counter_ >> 24);
  nonce[20] = static_cast<std::uint8_t>(counter_ >> 16);
  nonce[21] = static_cast<std::uint8_t>(counter_ >> 8);
  nonce[22] = static_cast<std::uint8_t>(counter_);
  nonce[23] = final ? 1 : 0;

  auto* data = reinterpret_cast<unsigned char*>(segment.data());
  unsigned long long plain_length = 0;
  // Decrypted in place: the plaintext is the buffer's first L - 16 bytes.
  const int rc = crypto_aead_xchacha20poly1305_ietf_decrypt(data, &plain_length, nullptr, data, length, nullptr, 0,
                                                             nonce.data(), key_.data());
  // The final segment is the key's last use; a failed one ends the reader.
  if (final || rc != 0) wipe_key();
  if (rc != 0) return framing_error();
  if (!final) {
    ++counter_;
  } else {
    // The final segment must end the file.
    std::byte extra{};
    if (QV_TRY(read_input(std::span(&extra, 1))) != 0) return framing_error();
    final_seen_ = true;
  }
  plain_size_ = static_cast<std::size_t>(plain_length);
  return {};
}

Result<SegmentedDecryptReader> read_object_header(platform::UniqueFd file,
                                                  std::span<const std::uint8_t, pack::kKeyBytes> key,
                                                  std::span<const std::uint8_t, pack::kNoncePrefixBytes> nonce_prefix) {
  // Picks the library's vector code for the cipher and the MAC; without it
  // the portable code runs at a fraction of the speed. Idempotent and safe to
  // race.
  if (sodium_init() < 0) return fail("cannot initialise the cipher library");
  std::array<std::byte, pack::kHeaderBytes> header{};
  QV_TRY(read_exact(file.get(), header));
  const bool magic_ok = std::memcmp(header.data(), pack::kMagic.data(), pack::kMagic.size()) == 0;
  const bool nonce_ok = std::memcmp(header.data() + pack::kMagic.size(), nonce_prefix.data(), nonce_prefix.size()) == 0;
  if (!magic_ok || !nonce_ok) return fail(std::string(pack::text::kHeaderMismatch));
  return SegmentedDecryptReader(std::move(file), key, nonce_prefix);
}

}  // namespace qv
