// Content hashing: the algorithms a release may name and their digest forms.
#pragma once

#include <cstdint>

namespace qv {

// Numbered 0 to 5 in this order; "read" yields no digest and is refused in
// releases.
enum class HashAlgorithm : std::uint8_t { Xxh64, Xxh3_64, Xxh3_128, Blake3, Sha256, Read };

}  // namespace qv
