// The signed envelope, opened with the test keys: as a bare envelope, as a
// release manifest and as a launcher-update record. Mutations rarely get past
// the signature; the seeds are real envelopes, and the decoders behind the
// signature have targets of their own (manifest, launcher_update).
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/formats/envelope.hpp"
#include "core/formats/launcher_update.hpp"
#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  const auto& keys = qv::fuzz::release_keys();
  auto plaintext = qv::open_envelope(bytes, keys.public_key, keys.manifest_key);
  if (plaintext) {
    qv::fuzz::fuzz_check(plaintext->size() + qv::kEnvelopeMinBytes == size, "the plaintext has the wrong size");
  }
  (void)qv::open_manifest(bytes, keys.public_key, keys.manifest_key);
  qv::ClientConfig config;
  config.public_key = keys.public_key;
  config.manifest_key = keys.manifest_key;
  (void)qv::read_launcher_update(bytes, config);
  return 0;
}
