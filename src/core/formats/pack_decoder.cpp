// Streaming decompression of an object's frames over its segment reader.
#include <zstd.h>

#include <cstddef>
#include <mutex>
#include <vector>

#include "core/formats/pack.hpp"
#include "core/formats/pack_stages.hpp"

namespace qv {

struct ObjectDecoder::Context {
  ZSTD_DCtx* dctx = nullptr;
};

namespace {

// The decompression contexts of finished installs, kept for the next one: a
// context keeps the buffers it grew to its frames' window, which a fresh one
// would allocate and fault in again for every file. A context that grew past
// kKeptContextBytes (a frame with a large window) is freed instead, so the
// kept ones hold little more than the common windows need.
class ContextPool {
 public:
  // Never destroyed: an install still running while the process exits may
  // give a context back at any time.
  static ContextPool& instance() {
    static ContextPool* const pool = new ContextPool;
    return *pool;
  }

  // A context with the library's default parameters, or nullptr when none
  // can be allocated.
  ZSTD_DCtx* take() {
    {
      std::lock_guard lock(mutex_);
      if (!kept_.empty()) {
        ZSTD_DCtx* dctx = kept_.back();
        kept_.pop_back();
        return dctx;
      }
    }
    return ZSTD_createDCtx();
  }

  void release_all() {
    std::vector<ZSTD_DCtx*> kept;
    {
      std::lock_guard lock(mutex_);
      kept.swap(kept_);
    }
    for (ZSTD_DCtx* dctx : kept) ZSTD_freeDCtx(dctx);
  }

  void give_back(ZSTD_DCtx* dctx) {
    if (dctx == nullptr) return;
    if (ZSTD_sizeof_DCtx(dctx) <= kKeptContextBytes &&
        !ZSTD_isError(ZSTD_DCtx_reset(dctx, ZSTD_reset_session_and_parameters))) {
      std::lock_guard lock(mutex_);
      if (kept_.size() < kKeptContexts) {
        kept_.push_back(dctx);
        return;
      }
    }
    ZSTD_freeDCtx(dctx);
  }

 private:
  static constexpr std::size_t kKeptContexts = pack::kInstallChunkSlots;
  static constexpr std::size_t kKeptContextBytes = 9 * 1'048'576;

  std::mutex mutex_;
  std::vector<ZSTD_DCtx*> kept_;
};

}  // namespace

void pack_stages::release_kept_contexts() { ContextPool::instance().release_all(); }

void ObjectDecoder::ContextFree::operator()(Context* context) const {
  if (context == nullptr) return;
  ContextPool::instance().give_back(context->dctx);
  delete context;
}

ObjectDecoder::ObjectDecoder(SegmentedDecryptReader reader, std::unique_ptr<Context, ContextFree> context)
    : reader_(std::move(reader)), context_(std::move(context)) {}

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
  context->dctx = ContextPool::instance().take();
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
        const std::span<std::byte> input = decoder.input_.get();
        decoder.input_size_ = QV_TRY(decoder.input_source_ ? decoder.input_source_(input) : decoder.reader_.read(input));
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
    ZSTD_inBuffer in{decoder.input_.get().data(), decoder.input_size_, decoder.input_pos_};
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
