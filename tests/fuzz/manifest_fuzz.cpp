// The manifest's CBOR decoding and the release rules behind the envelope,
// reached directly. A manifest that decodes must encode to the fixed form and
// decode from it to the same manifest, and the fixed form must be a fixed
// point.
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/formats/cbor.hpp"
#include "core/formats/manifest_codec.hpp"
#include "core/formats/validation.hpp"
#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qv::CborReader reader(std::span<const std::uint8_t>(data, size));
  auto manifest = qv::decode_manifest_cbor(reader);
  if (!manifest) {
    // The diagnostic form is what a player's error text shows.
    (void)manifest.error().to_string();
    return 0;
  }
  qv::fuzz::fuzz_check(reader.position() <= size, "the reader ran past its input");
  (void)qv::validate_manifest(*manifest);

  auto encoded = qv::encode_manifest_cbor(*manifest);
  qv::fuzz::fuzz_check(encoded.has_value(), "a decoded manifest does not encode");
  qv::CborReader again(*encoded);
  auto redecoded = qv::decode_manifest_cbor(again);
  qv::fuzz::fuzz_check(redecoded.has_value(), "the fixed form does not decode",
                       redecoded ? "" : redecoded.error().to_string());
  qv::fuzz::fuzz_check(again.remaining() == 0, "the fixed form leaves bytes behind");
  qv::fuzz::fuzz_check(*redecoded == *manifest, "the fixed form decodes to another manifest");
  auto reencoded = qv::encode_manifest_cbor(*redecoded);
  qv::fuzz::fuzz_check(reencoded.has_value() && *reencoded == *encoded, "the fixed form is not stable");
  return 0;
}
