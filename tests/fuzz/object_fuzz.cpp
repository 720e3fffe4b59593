// A content object as stored: header, segments and the frames inside them,
// read with the test object key through the segment reader and the decoder.
// Mutations rarely keep a segment's tag valid; the seeds are real objects
// with small segments, and the frames behind the tags have a target of their
// own (object_frames).
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/formats/pack.hpp"
#include "fuzz_support.hpp"
#include "support/object_builder.hpp"

namespace {

// Decoding stops here: a small object may expand far, and past this point
// nothing new is exercised.
constexpr std::uint64_t kOutputCap = std::uint64_t{64} << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const auto key = qv::test::object_key(qv::fuzz::kObjectSeed);
  static const auto nonce = qv::test::object_nonce(qv::fuzz::kObjectSeed);
  auto reader = qv::read_object_header(qv::fuzz::memory_file(std::span<const std::uint8_t>(data, size)), key, nonce);
  if (!reader) return 0;
  qv::fuzz::fuzz_check(size >= qv::pack::kHeaderBytes, "a header read from a short file");
  auto decoder = qv::open_object_decoder(std::move(*reader));
  qv::fuzz::fuzz_check(decoder.has_value(), "no decoder");
  qv::fuzz::fuzz_check(decoder->set_max_window_log(qv::pack::kMaxWindowLog).has_value(), "window limit refused");
  static std::vector<std::byte> buffer(qv::pack::kInstallChunkBytes);
  std::uint64_t total = 0;
  while (total < kOutputCap) {
    auto n = qv::read_object_data(*decoder, buffer);
    if (!n) return 0;
    if (*n == 0) {
      qv::fuzz::fuzz_check(decoder->reader().final_seen(), "an object ended before its final segment");
      auto again = qv::read_object_data(*decoder, buffer);
      qv::fuzz::fuzz_check(again && *again == 0, "an exhausted object yields more");
      return 0;
    }
    qv::fuzz::fuzz_check(*n <= buffer.size(), "more output than the buffer holds");
    total += *n;
  }
  return 0;
}
