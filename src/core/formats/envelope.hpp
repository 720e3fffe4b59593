// The signed and encrypted envelope ("QVMAN001") that carries release manifests
// and launcher-update records, and the opening of a manifest from it.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "platform/error.hpp"
#include "core/formats/manifest.hpp"

namespace qv {

inline constexpr std::size_t kEnvelopeMinBytes = 112;
inline constexpr std::size_t kEnvelopeMaxBytes = 33554432;  // 32 MiB

// Checks size and magic, verifies the Ed25519 signature strictly (canonical S,
// neither R nor the key of small order, the cofactorless equation), then
// decrypts the body with XChaCha20-Poly1305 (the magic as associated data).
// Returns the plaintext. Pure; any thread.
Result<std::vector<std::uint8_t>> open_envelope(std::span<const std::uint8_t> bytes,
                                                const std::array<std::uint8_t, 32>& public_key,
                                                const std::array<std::uint8_t, 32>& manifest_key);

// Opens the envelope, decodes one manifest that must fill the plaintext
// exactly ("trailing CBOR" otherwise) and validates it. Pure; any thread.
Result<Manifest> open_manifest(std::span<const std::uint8_t> bytes, const std::array<std::uint8_t, 32>& public_key,
                               const std::array<std::uint8_t, 32>& manifest_key);

}  // namespace qv
