#include "support/object_builder.hpp"

#include <sodium.h>
#include <zstd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <memory>
#include <tuple>
#include <stdexcept>

#include "core/foundations/hashing.hpp"

namespace qv::test {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMaxSegmentPlaintext = 1'048'576;
constexpr std::size_t kTagBytes = crypto_aead_xchacha20poly1305_ietf_ABYTES;
constexpr std::size_t kReadChunk = 1'048'576;

[[noreturn]] void die(const std::string& what) { throw std::runtime_error("object builder: " + what); }

// 64 bytes of key material per seed and purpose: a keyed hash of the seed.
std::array<std::uint8_t, 64> derive(std::uint64_t seed, std::string_view purpose) {
  if (sodium_init() < 0) die("sodium_init");
  std::array<std::uint8_t, 64> out{};
  std::array<std::uint8_t, 8> seed_bytes{};
  for (int i = 0; i < 8; ++i) seed_bytes[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(seed >> (8 * i));
  crypto_generichash(out.data(), out.size(), seed_bytes.data(), seed_bytes.size(),
                     reinterpret_cast<const unsigned char*>(purpose.data()), purpose.size());
  return out;
}

// The object file as it is written: size and SHA-256 over exactly the bytes
// that reach the disk, after the byte hook had its say.
class ObjectFile {
 public:
  ObjectFile(const fs::path& path, const ObjectOptions& options)
      : options_(options), hasher_(content_hasher_new(HashAlgorithm::Sha256)) {
    if (path.has_parent_path()) fs::create_directories(path.parent_path());
    out_.open(path, std::ios::binary | std::ios::trunc);
    if (!out_) die("cannot create " + path.string());
  }

  void write(std::span<const std::byte> bytes) {
    if (bytes.empty()) return;
    std::span<const std::byte> final_bytes = bytes;
    if (options_.on_object_bytes) {
      scratch_.assign(bytes.begin(), bytes.end());
      options_.on_object_bytes(offset_, scratch_);
      final_bytes = scratch_;
    }
    content_hasher_update(hasher_, final_bytes);
    out_.write(reinterpret_cast<const char*>(final_bytes.data()), static_cast<std::streamsize>(final_bytes.size()));
    if (!out_) die("write failed");
    offset_ += final_bytes.size();
  }

  // Returns (size, SHA-256 text).
  std::pair<std::uint64_t, std::string> close() {
    out_.close();
    if (!out_) die("close failed");
    return {offset_, content_hasher_finish(std::move(hasher_))};
  }

 private:
  const ObjectOptions& options_;
  std::ofstream out_;
  ContentHasher hasher_;
  std::uint64_t offset_ = 0;
  std::vector<std::byte> scratch_;
};

struct SealedSegment {
  std::uint64_t index = 0;
  std::uint32_t length = 0;
  std::uint8_t flag = 0;
  std::vector<std::byte> body;  // ciphertext and tag
};

// Seals segments in order and writes them, applying the segment tampers.
class SegmentWriter {
 public:
  SegmentWriter(ObjectFile& file, const FileEntry& entry, const ObjectOptions& options)
      : file_(file), key_(entry.key), nonce_(entry.nonce), options_(options) {}

  void seal(std::span<const std::byte> plain, bool final) {
    SealedSegment segment;
    segment.index = counter_;
    segment.flag = final ? 1 : 0;
    segment.body.resize(plain.size() + kTagBytes);
    std::array<std::uint8_t, 24> nonce{};
    std::copy(nonce_.begin(), nonce_.end(), nonce.begin());
    const auto counter = static_cast<std::uint32_t>(counter_);
    nonce[19] = static_cast<std::uint8_t>(counter >> 24);
    nonce[20] = static_cast<std::uint8_t>(counter >> 16);
    nonce[21] = static_cast<std::uint8_t>(counter >> 8);
    nonce[22] = static_cast<std::uint8_t>(counter);
    nonce[23] = segment.flag;
    unsigned long long sealed = 0;
    crypto_aead_xchacha20poly1305_ietf_encrypt(reinterpret_cast<unsigned char*>(segment.body.data()), &sealed,
                                               reinterpret_cast<const unsigned char*>(plain.data()), plain.size(),
                                               nullptr, 0, nullptr, nonce.data(), key_.data());
    segment.length = static_cast<std::uint32_t>(sealed);
    ++counter_;
    stream_bytes_ += plain.size();
    emit(std::move(segment));
  }

  // Writes a segment held back for a swap that found no next segment.
  void finish() {
    if (held_) write_segment(*std::exchange(held_, std::nullopt));
  }

  std::uint64_t segments() const { return counter_; }
  std::uint64_t stream_bytes() const { return stream_bytes_; }

 private:
  void emit(SealedSegment segment) {
    bool drop = false;
    bool duplicate = false;
    bool swap = false;
    bool stray = false;
    for (const auto& tamper : options_.tampers) {
      if (tamper.segment != segment.index) continue;
      switch (tamper.action) {
        case SegmentAction::FlipTagByte: segment.body.back() ^= std::byte{1}; break;
        case SegmentAction::FlipCiphertextByte: segment.body.front() ^= std::byte{1}; break;
        case SegmentAction::SetLength: segment.length = tamper.value; break;
        case SegmentAction::SetFlag: segment.flag = static_cast<std::uint8_t>(tamper.value); break;
        case SegmentAction::Drop: drop = true; break;
        case SegmentAction::Duplicate: duplicate = true; break;
        case SegmentAction::SwapWithNext: swap = true; break;
        case SegmentAction::StrayByteAfter: stray = true; break;
      }
    }
    std::optional<SealedSegment> previous = std::exchange(held_, std::nullopt);
    if (drop) {
      if (previous) write_segment(*previous);
      return;
    }
    if (swap) {
      held_ = std::move(segment);
      if (previous) write_segment(*previous);
      return;
    }
    write_segment(segment);
    if (duplicate) write_segment(segment);
    if (stray) {
      const std::byte zero{0};
      file_.write(std::span(&zero, 1));
    }
    if (previous) write_segment(*previous);
  }

  void write_segment(const SealedSegment& segment) {
    std::array<std::byte, 5> head{};
    for (int i = 0; i < 4; ++i) head[static_cast<std::size_t>(i)] = static_cast<std::byte>(segment.length >> (8 * i));
    head[4] = static_cast<std::byte>(segment.flag);
    file_.write(head);
    file_.write(segment.body);
  }

  ObjectFile& file_;
  std::array<std::uint8_t, 32> key_;
  std::array<std::uint8_t, 19> nonce_;
  const ObjectOptions& options_;
  std::uint64_t counter_ = 0;
  std::uint64_t stream_bytes_ = 0;
  std::optional<SealedSegment> held_;
};

// Cuts the plaintext stream into segments of the chosen sizes. A full
// segment is sealed only once more bytes arrive, so the last one, sealed at
// the end, is the final one.
class Segmenter {
 public:
  Segmenter(SegmentWriter& writer, const ObjectOptions& options) : writer_(writer), options_(options) {
    pending_.reserve(target_size());
  }

  void push(std::span<const std::byte> bytes) {
    if (options_.on_stream) options_.on_stream(bytes);
    while (!bytes.empty()) {
      if (pending_.size() == target_size()) {
        writer_.seal(pending_, false);
        pending_.clear();
        ++sealed_;
        continue;
      }
      const std::size_t n = std::min(bytes.size(), target_size() - pending_.size());
      pending_.insert(pending_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
      bytes = bytes.subspan(n);
    }
  }

  void finish() {
    if (options_.empty_final_segment) {
      if (!pending_.empty()) writer_.seal(pending_, false);
      writer_.seal({}, true);
    } else {
      writer_.seal(pending_, true);
    }
    writer_.finish();
  }

 private:
  std::size_t target_size() const {
    const auto& sizes = options_.segment_sizes;
    if (sizes.empty()) return kMaxSegmentPlaintext;
    return sizes[std::min<std::size_t>(sealed_, sizes.size() - 1)];
  }

  SegmentWriter& writer_;
  const ObjectOptions& options_;
  std::vector<std::byte> pending_;
  std::size_t sealed_ = 0;
};

// Compresses the plain bytes into frames, handing the stream on as it comes.
class FrameCompressor {
 public:
  FrameCompressor(const ObjectOptions& options, std::function<void(std::span<const std::byte>)> sink)
      : options_(options), sink_(std::move(sink)), out_(ZSTD_CStreamOutSize()) {
    cctx_ = ZSTD_createCCtx();
    if (cctx_ == nullptr) die("ZSTD_createCCtx");
    check(ZSTD_CCtx_setParameter(cctx_, ZSTD_c_compressionLevel, options.zstd_level));
    if (options.window_log != 0) check(ZSTD_CCtx_setParameter(cctx_, ZSTD_c_windowLog, options.window_log));
    check(ZSTD_CCtx_setParameter(cctx_, ZSTD_c_contentSizeFlag, options.unknown_frame_size ? 0 : 1));
  }
  ~FrameCompressor() { ZSTD_freeCCtx(cctx_); }
  FrameCompressor(const FrameCompressor&) = delete;
  FrameCompressor& operator=(const FrameCompressor&) = delete;

  void compress(ByteSource& plain) {
    const std::uint64_t per_frame = options_.frame_bytes == 0 ? plain.size : options_.frame_bytes;
    std::vector<std::byte> buffer(kReadChunk);
    std::uint64_t left = plain.size;
    do {
      const std::uint64_t frame = std::min(left, per_frame);
      // A pledged size lets the library shrink the window to the frame; without
      // one the window asked for is what the frame header declares.
      if (!options_.unknown_frame_size) check(ZSTD_CCtx_setPledgedSrcSize(cctx_, frame));
      std::uint64_t frame_left = frame;
      while (frame_left > 0) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(frame_left, buffer.size()));
        const std::size_t got = plain.read(std::span(buffer.data(), want));
        if (got == 0) die("source ended early");
        feed(std::span<const std::byte>(buffer.data(), got), ZSTD_e_continue);
        frame_left -= got;
      }
      feed({}, ZSTD_e_end);
      left -= frame;
    } while (left > 0);
  }

 private:
  static void check(size_t rc) {
    if (ZSTD_isError(rc)) die(ZSTD_getErrorName(rc));
  }

  void feed(std::span<const std::byte> input, ZSTD_EndDirective mode) {
    ZSTD_inBuffer in{input.data(), input.size(), 0};
    for (;;) {
      ZSTD_outBuffer out{out_.data(), out_.size(), 0};
      const size_t remaining = ZSTD_compressStream2(cctx_, &out, &in, mode);
      check(remaining);
      if (out.pos > 0) sink_(std::span<const std::byte>(out_.data(), out.pos));
      const bool done = mode == ZSTD_e_end ? remaining == 0 : in.pos == in.size;
      if (done) return;
    }
  }

  const ObjectOptions& options_;
  std::function<void(std::span<const std::byte>)> sink_;
  ZSTD_CCtx* cctx_ = nullptr;
  std::vector<std::byte> out_;
};

// Counts and hashes the plain bytes on their way to the compressor.
ByteSource measured(ByteSource source, ContentHasher& hasher, std::uint64_t& total) {
  auto inner = std::move(source.read);
  source.read = [inner = std::move(inner), &hasher, &total](std::span<std::byte> out) {
    const std::size_t n = inner(out);
    content_hasher_update(hasher, std::span<const std::byte>(out.data(), n));
    total += n;
    return n;
  };
  return source;
}

FileEntry base_entry(const ObjectOptions& options) {
  FileEntry entry;
  entry.path = options.path;
  entry.algorithm = options.algorithm;
  entry.key = object_key(options.seed);
  entry.nonce = object_nonce(options.seed);
  const auto name = derive(options.seed, "object-name");
  entry.object = "objects/" + to_hex(std::span<const std::uint8_t>(name.data(), 16)) + ".qvp";
  return entry;
}

void write_header(ObjectFile& file, const FileEntry& entry, const ObjectOptions& options) {
  file.write(std::as_bytes(std::span(options.magic.data(), options.magic.size())));
  const auto& nonce = options.header_nonce ? *options.header_nonce : entry.nonce;
  file.write(std::as_bytes(std::span(nonce)));
}

// The common frame of both builders: header, segments from `produce`, sizes.
template <class Produce>
BuiltObject write_object(const fs::path& object_path, const ObjectOptions& options, FileEntry entry,
                         Produce&& produce) {
  ObjectFile file(object_path, options);
  write_header(file, entry, options);
  SegmentWriter writer(file, entry, options);
  Segmenter segmenter(writer, options);
  produce(segmenter);
  segmenter.finish();
  BuiltObject built;
  std::tie(entry.object_bytes, entry.object_sha256) = file.close();
  built.entry = std::move(entry);
  built.segments = writer.segments();
  built.stream_bytes = writer.stream_bytes();
  return built;
}

}  // namespace

ByteSource bytes_source(std::string bytes) {
  auto data = std::make_shared<std::string>(std::move(bytes));
  auto pos = std::make_shared<std::size_t>(0);
  ByteSource source;
  source.size = data->size();
  source.read = [data, pos](std::span<std::byte> out) {
    const std::size_t n = std::min(out.size(), data->size() - *pos);
    std::memcpy(out.data(), data->data() + *pos, n);
    *pos += n;
    return n;
  };
  return source;
}

ByteSource file_source(const fs::path& path) {
  auto in = std::make_shared<std::ifstream>(path, std::ios::binary);
  if (!*in) die("cannot open " + path.string());
  ByteSource source;
  source.size = fs::file_size(path);
  source.read = [in](std::span<std::byte> out) {
    in->read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(out.size()));
    return static_cast<std::size_t>(in->gcount());
  };
  return source;
}

ByteSource pattern_source(std::uint64_t size, std::uint64_t seed) {
  auto state = std::make_shared<std::uint64_t>(seed * 0x9E3779B97F4A7C15ull + 1);
  auto left = std::make_shared<std::uint64_t>(size);
  ByteSource source;
  source.size = size;
  source.read = [state, left](std::span<std::byte> out) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), *left));
    std::uint64_t x = *state;
    for (std::size_t i = 0; i < n; i += 8) {
      // xorshift64; each byte keeps 4 random bits over a fixed high nibble.
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      const std::uint64_t word = (x & 0x0F0F0F0F0F0F0F0Full) | 0x6060606060606060ull;
      std::memcpy(out.data() + i, &word, std::min<std::size_t>(8, n - i));
    }
    *state = x;
    *left -= n;
    return n;
  };
  return source;
}

std::array<std::uint8_t, 32> object_key(std::uint64_t seed) {
  const auto bytes = derive(seed, "object-key");
  std::array<std::uint8_t, 32> key{};
  std::copy_n(bytes.begin(), key.size(), key.begin());
  return key;
}

std::array<std::uint8_t, 19> object_nonce(std::uint64_t seed) {
  const auto bytes = derive(seed, "object-nonce");
  std::array<std::uint8_t, 19> nonce{};
  std::copy_n(bytes.begin(), nonce.size(), nonce.begin());
  return nonce;
}

BuiltObject build_object(const fs::path& object_path, ByteSource plain, const ObjectOptions& options) {
  ContentHasher hasher = content_hasher_new(options.algorithm);
  std::uint64_t total = 0;
  ByteSource source = measured(std::move(plain), hasher, total);
  FileEntry entry = base_entry(options);
  BuiltObject built = write_object(object_path, options, std::move(entry), [&](Segmenter& segmenter) {
    FrameCompressor compressor(options, [&](std::span<const std::byte> bytes) { segmenter.push(bytes); });
    compressor.compress(source);
  });
  built.entry.bytes = total;
  built.entry.digest = content_hasher_finish(std::move(hasher));
  return built;
}

BuiltObject build_object_from_stream(const fs::path& object_path, ByteSource stream, const ObjectOptions& options) {
  return write_object(object_path, options, base_entry(options), [&](Segmenter& segmenter) {
    std::vector<std::byte> buffer(kReadChunk);
    while (const std::size_t n = stream.read(buffer)) segmenter.push(std::span<const std::byte>(buffer.data(), n));
  });
}

std::string compress_frames(std::string_view plain, const ObjectOptions& options) {
  std::string out;
  FrameCompressor compressor(options, [&](std::span<const std::byte> bytes) {
    out.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  });
  ByteSource source = bytes_source(std::string(plain));
  compressor.compress(source);
  return out;
}

}  // namespace qv::test
