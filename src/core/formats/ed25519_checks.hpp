// The encoding checks that precede strict Ed25519 verification, so that each
// refusal can name its reason.
#pragma once

#include <cstdint>
#include <span>

namespace qv {

// True when the 32 bytes decode to a point of the curve: y below the field
// prime, x recoverable from y, and no negative zero.
bool ed25519_point_decodes(std::span<const std::uint8_t, 32> encoded);

// True when the scalar is canonical: below the group order (which also keeps
// the top bits of the last byte clear).
bool ed25519_scalar_is_canonical(std::span<const std::uint8_t, 32> scalar);

}  // namespace qv
