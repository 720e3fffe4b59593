// Streaming decompression of an object's frames over its segment reader.
#include <zstd.h>

#include "core/formats/pack.hpp"

namespace qv {

struct ObjectDecoder::Context {
  ZSTD_DCtx* dctx = nullptr;
};

void ObjectDecoder::ContextFree::operator()(Context* context) const {
  if (context == nullptr) return;
  ZSTD_freeDCtx(context->dctx);
  delete context;
}

ObjectDecoder::ObjectDecoder(SegmentedDecryptReader reader, std::unique_ptr<Context, ContextFree> context)
    : reader_(std::move(reader)), context_(std::move(context)), input_(pack::kDecoderInputBytes) {}

ObjectDecoder::ObjectDecoder(ObjectDecoder&&) noexcept = default;
ObjectDecoder& ObjectDecoder::operator=(ObjectDecoder&&) noexcept = default;
ObjectDecoder::~ObjectDecoder() = default;

Status ObjectDecoder::set_max_window_log(std::uint32_t window_log) {
  const size_t rc = ZSTD_DCtx_setParameter(context_->dctx, ZSTD_d_windowLogMax, static_cast<int>(window_log));
  if (ZSTD_isError(rc)) return fail(ZSTD_getErrorName(rc));
  return {};
}

Result<ObjectDecoder> open_object_decoder(SegmentedDecryptReader reader) {
  std::unique_ptr<ObjectDecoder::Context, ObjectDecoder::ContextFree> context(new ObjectDecoder::Context);
  context->dctx = ZSTD_createDCtx();
  if (context->dctx == nullptr) return fail("cannot allocate the decompression context");
  return ObjectDecoder(std::move(reader), std::move(context));
}

Result<std::size_t> read_object_data(ObjectDecoder& decoder, std::span<std::byte> buffer) {
  using State = ObjectDecoder::State;
  if (buffer.empty()) return 0;
  for (;;) {
    if (decoder.state_ == State::Finished) return 0;
    // More input is needed only when the last call consumed everything and
    // left no output waiting behind a full buffer. (The library also holds
    // back a frame's last input byte until its output is flushed; this does
    // not depend on that.)
    if (decoder.input_pos_ == decoder.input_size_ && !decoder.output_pending_) {
      if (decoder.state_ == State::Reading) {
        decoder.input_size_ = QV_TRY(decoder.input_source_ ? decoder.input_source_(decoder.input_)
                                                           : decoder.reader_.read(decoder.input_));
        decoder.input_pos_ = 0;
        if (decoder.input_size_ == 0) decoder.state_ = State::PastEnd;
      }
      if (decoder.state_ == State::PastEnd) {
        // No input at all never completed a frame, so an object without one
        // is refused here too.
        if (!decoder.frame_complete_) return fail(std::string(pack::text::kIncompleteFrame));
        decoder.state_ = State::Finished;
        return 0;
      }
    }
    ZSTD_inBuffer in{decoder.input_.data(), decoder.input_size_, decoder.input_pos_};
    ZSTD_outBuffer out{buffer.data(), buffer.size(), 0};
    const size_t rc = ZSTD_decompressStream(decoder.context_->dctx, &out, &in);
    if (ZSTD_isError(rc)) return fail(ZSTD_getErrorName(rc));
    decoder.input_pos_ = in.pos;
    // 0: a frame ended and everything it held was flushed; the next byte of
    // input, if any, starts a new frame.
    decoder.frame_complete_ = rc == 0;
    decoder.output_pending_ = rc != 0 && out.pos == out.size;
    if (out.pos > 0) return out.pos;
  }
}

}  // namespace qv
