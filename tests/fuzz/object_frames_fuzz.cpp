// The frames inside a content object: the decoder over a stream of bytes
// handed out as the segment reader would hand out segments. Byte 0 picks the
// segment size (low bits) and the output buffer (high bit), byte 1 the window
// limit; the rest is the stream. The verdict and the output must match the
// compression library's own streaming decoder.
#include <zstd.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/formats/pack.hpp"
#include "fuzz_support.hpp"
#include "support/object_builder.hpp"

namespace {

constexpr std::size_t kOutputCap = std::size_t{16} << 20;
constexpr std::array<std::size_t, 8> kSegmentSizes = {1, 2, 7, 64, 1000, 4096, 131075, 1048576};
// 0 is the library's default limit (2^27): a frame may then ask for a large
// window, which is costly to allocate, so it is one choice in eight.
constexpr std::array<std::uint32_t, 8> kWindowLogs = {10, 11, 14, 17, 17, 20, 20, 0};

// The reference: the library's streaming decoder given the stream as the
// decoder's input source hands it out (segments of `segment` bytes, each
// split at the decoder's input size), or all at once for a segment size of 0,
// frames back to back; a success needs at least one frame and an end on a
// frame boundary. None when the output passes the cap.
std::optional<std::optional<std::string>> reference_decode(std::span<const std::uint8_t> stream,
                                                           std::uint32_t window_log, std::size_t segment) {
  ZSTD_DCtx* dctx = ZSTD_createDCtx();
  if (window_log != 0) ZSTD_DCtx_setParameter(dctx, ZSTD_d_windowLogMax, static_cast<int>(window_log));
  std::string output;
  std::vector<char> chunk(1 << 16);
  std::size_t rc = 1;  // no frame has ended yet
  bool failed = false;
  for (std::size_t at = 0; at < stream.size() && !failed;) {
    const std::size_t piece =
        segment == 0 ? stream.size() - at
                     : std::min({qv::pack::kDecoderInputBytes, segment - at % segment, stream.size() - at});
    ZSTD_inBuffer in{stream.data() + at, piece, 0};
    at += in.size;
    for (;;) {
      ZSTD_outBuffer out{chunk.data(), chunk.size(), 0};
      rc = ZSTD_decompressStream(dctx, &out, &in);
      if (ZSTD_isError(rc)) {
        failed = true;
        break;
      }
      output.append(chunk.data(), out.pos);
      if (output.size() > kOutputCap) {
        ZSTD_freeDCtx(dctx);
        return std::nullopt;
      }
      if (in.pos == in.size && out.pos < out.size) break;
    }
  }
  ZSTD_freeDCtx(dctx);
  if (failed || rc != 0 || stream.empty()) return std::optional<std::string>();
  return std::optional<std::string>(std::move(output));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t segment = kSegmentSizes[data[0] % kSegmentSizes.size()];
  const std::uint32_t window_log = kWindowLogs[data[1] % kWindowLogs.size()];
  const std::span<const std::uint8_t> stream(data + 2, size - 2);

  // A reader over an object that is only a header: the decoder is fed from
  // the stream instead.
  static const auto key = qv::test::object_key(qv::fuzz::kObjectSeed);
  static const auto nonce = qv::test::object_nonce(qv::fuzz::kObjectSeed);
  std::vector<std::uint8_t> header(qv::pack::kMagic.begin(), qv::pack::kMagic.end());
  header.insert(header.end(), nonce.begin(), nonce.end());
  auto reader = qv::read_object_header(qv::fuzz::memory_file(header), key, nonce);
  qv::fuzz::fuzz_check(reader.has_value(), "the header-only object does not open");
  auto decoder = qv::open_object_decoder(std::move(*reader));
  qv::fuzz::fuzz_check(decoder.has_value(), "no decoder");
  qv::fuzz::fuzz_check(decoder->set_max_window_log(window_log).has_value(), "window limit refused");
  std::size_t position = 0;
  std::size_t segment_left = 0;
  decoder->set_input_source([&](std::span<std::byte> out) -> qv::Result<std::size_t> {
    if (position == stream.size()) return 0;
    if (segment_left == 0) segment_left = std::min(segment, stream.size() - position);
    const std::size_t n = std::min(out.size(), segment_left);
    std::memcpy(out.data(), stream.data() + position, n);
    position += n;
    segment_left -= n;
    return n;
  });

  std::string output;
  static std::vector<std::byte> whole_chunk(qv::pack::kInstallChunkBytes);
  const std::span<std::byte> buffer(whole_chunk.data(), data[0] & 0x80 ? 1000 : whole_chunk.size());
  bool ok = true;
  for (;;) {
    auto n = qv::read_object_data(*decoder, buffer);
    if (!n) {
      ok = false;
      break;
    }
    if (*n == 0) break;
    output.append(reinterpret_cast<const char*>(buffer.data()), *n);
    if (output.size() > kOutputCap) return 0;
  }

  // The verdict may depend on where the input is cut: given a whole frame at
  // once the library checks the declared content size, given it in pieces it
  // may not. So the verdict is compared with the library fed the same pieces,
  // and the output also with the library fed everything at once whenever that
  // accepts too: what an object decodes to never depends on its segment size.
  const auto same_pieces = reference_decode(stream, window_log, segment);
  if (!same_pieces) return 0;
  qv::fuzz::fuzz_check(ok == same_pieces->has_value(), ok ? "the decoder accepted a stream the library refuses"
                                                          : "the decoder refused a stream the library accepts");
  if (!ok) return 0;
  qv::fuzz::fuzz_check(output == **same_pieces, "the decoder's output differs from the library's");
  const auto whole = reference_decode(stream, window_log, 0);
  if (whole && *whole) qv::fuzz::fuzz_check(output == **whole, "the output depends on the segment size");
  return 0;
}
