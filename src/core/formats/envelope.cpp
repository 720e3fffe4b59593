#include "core/formats/envelope.hpp"

#include <sodium.h>

#include <cstring>

#include "core/formats/ed25519_checks.hpp"
#include "core/formats/manifest_codec.hpp"
#include "core/formats/validation.hpp"

namespace qv {
namespace {

constexpr std::uint8_t kMagic[8] = {'Q', 'V', 'M', 'A', 'N', '0', '0', '1'};
constexpr std::size_t kNonceBytes = 24;
constexpr std::size_t kTagBytes = 16;
constexpr std::size_t kSignatureBytes = 64;

// The reason is both the message's tail and its cause, so the whole chain
// names it twice.
Error signature_error(const char* reason) { return Error(reason).context(std::string("signature error: ") + reason); }

bool sodium_ready() {
  static const bool ready = sodium_init() >= 0;
  return ready;
}

}  // namespace

Result<std::vector<std::uint8_t>> open_envelope(std::span<const std::uint8_t> bytes,
                                                const std::array<std::uint8_t, 32>& public_key,
                                                const std::array<std::uint8_t, 32>& manifest_key) {
  const std::size_t n = bytes.size();
  if (n < kEnvelopeMinBytes || n > kEnvelopeMaxBytes) return fail("invalid envelope");
  if (std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0) return fail("invalid envelope");
  if (!sodium_ready()) return fail("cryptography library failed to initialise");

  if (!ed25519_point_decodes(public_key)) return fail(signature_error("Cannot decompress Edwards point"));
  const std::uint8_t* signature = bytes.data() + n - kSignatureBytes;
  if (!ed25519_scalar_is_canonical(std::span<const std::uint8_t, 32>(signature + 32, 32))) {
    return fail(signature_error("Cannot use scalar with high-bit set"));
  }
  // The library's verification is the strict one: canonical S, R and the key
  // not of small order, and the equation without the cofactor.
  if (crypto_sign_verify_detached(signature, bytes.data(), n - kSignatureBytes, public_key.data()) != 0) {
    return fail(signature_error("Verification equation was not satisfied"));
  }

  const std::uint8_t* nonce = bytes.data() + sizeof kMagic;
  const std::uint8_t* sealed = nonce + kNonceBytes;
  const std::size_t sealed_bytes = n - sizeof kMagic - kNonceBytes - kSignatureBytes;
  std::vector<std::uint8_t> buffer(sealed, sealed + sealed_bytes);
  // Decrypt with a copy of the key that is wiped whatever the outcome.
  std::array<std::uint8_t, 32> key = manifest_key;
  unsigned long long plain_bytes = 0;
  const int opened = crypto_aead_xchacha20poly1305_ietf_decrypt(buffer.data(), &plain_bytes, nullptr, buffer.data(),
                                                                sealed_bytes, kMagic, sizeof kMagic, nonce, key.data());
  sodium_memzero(key.data(), key.size());
  if (opened != 0) return fail("manifest authentication failed");
  buffer.resize(static_cast<std::size_t>(plain_bytes));
  static_assert(kTagBytes == crypto_aead_xchacha20poly1305_ietf_ABYTES);
  return buffer;
}

Result<Manifest> open_manifest(std::span<const std::uint8_t> bytes, const std::array<std::uint8_t, 32>& public_key,
                               const std::array<std::uint8_t, 32>& manifest_key) {
  const std::vector<std::uint8_t> plaintext = QV_TRY(open_envelope(bytes, public_key, manifest_key));
  CborReader reader(plaintext);
  auto manifest = decode_manifest_cbor(reader);
  if (!manifest) return fail(manifest.error().to_error());
  // Nothing may follow the manifest's item, not even a tag or a break.
  if (reader.remaining() != 0) return fail("trailing CBOR");
  QV_TRY(validate_manifest(*manifest));
  return std::move(*manifest);
}

}  // namespace qv
