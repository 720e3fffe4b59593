// Content objects: the encrypted, segmented, compressed form in which every
// managed file of a release travels, and the three things the client does with
// one: check its name, verify a stored object against its signed size and
// SHA-256, and install a client file from it.
//
// Object file: "QVPAT001", the 19-byte nonce prefix, then segments back to
// back. A segment is L (u32 little-endian), a flag byte (0 = more follow,
// 1 = final) and L bytes of XChaCha20-Poly1305 ciphertext with its 16-byte tag;
// 16 <= L <= 1 MiB + 16. Segment n is sealed under the nonce
// prefix || n (u32 big-endian) || final-flag byte, with no associated data.
// The plaintexts, concatenated, are one or more Zstandard frames whose output is
// the client file.
//
// Nothing here keeps shared state: each call owns its files, buffers and
// contexts, and any thread may call any function, one call per object at a
// time. Errors are single messages (or operating-system errors); callers add
// their own context.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "platform/error.hpp"
#include "core/formats/manifest.hpp"
#include "platform/fd.hpp"

namespace qv {

namespace pack {

inline constexpr std::string_view kMagic = "QVPAT001";
inline constexpr std::size_t kKeyBytes = 32;
inline constexpr std::size_t kNoncePrefixBytes = 19;
inline constexpr std::size_t kHeaderBytes = 27;  // magic + nonce prefix
inline constexpr std::size_t kSegmentHeadBytes = 5;  // L + flag
inline constexpr std::size_t kTagBytes = 16;
inline constexpr std::size_t kMaxSegmentPlaintext = 1'048'576;
inline constexpr std::uint32_t kMinSegmentLength = kTagBytes;
inline constexpr std::uint32_t kMaxSegmentLength = kMaxSegmentPlaintext + kTagBytes;
inline constexpr std::uint8_t kFlagMore = 0;
inline constexpr std::uint8_t kFlagFinal = 1;
// The decompressor's recommended streaming input size.
inline constexpr std::size_t kDecoderInputBytes = 131'075;
// Output chunk of an install: each chunk is checked, hashed, written and
// reported in order, while the chunks after it are being decoded.
inline constexpr std::size_t kInstallChunkBytes = 1'048'576;
// Objects of at least this size are installed by a pipeline of threads;
// smaller ones on the calling thread alone, where the threads would cost
// more than they share.
inline constexpr std::uint64_t kThreadedInstallObjectBytes = 524'288;
// Among installs that run at once, where every thread is busy with a file
// of its own, only an object this large gains from a pipeline.
inline constexpr std::uint64_t kSharedPipelineObjectBytes = 32 * 1'048'576;
// While an install writes, the kernel is asked to start writing each such
// run of the target to the disk, so the flush at the end waits for little
// more than the last run.
inline constexpr std::uint64_t kWritebackRunBytes = 8 * 1'048'576;
// An install on a pipeline also flushes its target every such run while it
// goes on.
inline constexpr std::uint64_t kFlushRunBytes = 32 * 1'048'576;
// Reads of the object file during an install, each hashed (the ciphertext
// check) on the way to the decryption.
inline constexpr std::size_t kObjectReadBytes = 262'144;
// How many buffers each stage of an install may hold ahead of the next: output
// chunks decoded ahead of the one being written, and decrypted input buffers
// ahead of the decompressor. Bounds the buffers of an install to 8 MiB of
// chunks and 1 MiB of input, whatever the file size; the depth lets each
// stage ride out short stalls of the next (chunks are often one 128 KiB
// block of the decompressor).
inline constexpr std::size_t kInstallChunkSlots = 8;
// Largest window an install accepts, whatever the manifest asks: 128 MiB.
inline constexpr std::uint32_t kMaxWindowLog = 27;

inline constexpr std::uint32_t kFileMode = 0644;
inline constexpr std::uint32_t kExecutableMode = 0755;

// A buffer of `bytes` bytes that installs hand on to one another: taken when
// first used, from what earlier installs left, or allocated (not cleared),
// and left for the next install when dropped. Installing many files then
// neither maps fresh memory per file nor faults every page of it in again,
// and installs running at once share the buffers instead of each thread's
// allocator keeping its own. Move-only; one thread at a time.
class KeptBuffer {
 public:
  explicit KeptBuffer(std::size_t bytes) : bytes_(bytes) {}
  KeptBuffer(KeptBuffer&& other) noexcept : bytes_(other.bytes_), buffer_(std::move(other.buffer_)) {}
  KeptBuffer& operator=(KeptBuffer&& other) noexcept;
  ~KeptBuffer() { give_back(); }

  // The buffer, whole; its bytes are whatever an earlier user left there.
  std::span<std::byte> get();

 private:
  void give_back();

  std::size_t bytes_;
  std::unique_ptr<std::byte[]> buffer_;
};

// Every fixed text of the module.
namespace text {
inline constexpr std::string_view kBadObjectName = "object name must be objects/<32 hex digits>.qvp";
inline constexpr std::string_view kObjectSizeMismatch = "object size mismatch";
inline constexpr std::string_view kCiphertextHashMismatch = "signed ciphertext hash mismatch";
inline constexpr std::string_view kShortRead = "failed to fill whole buffer";
inline constexpr std::string_view kHeaderMismatch = "object header mismatch";
inline constexpr std::string_view kFraming = "encrypted stream authentication/framing failed";
inline constexpr std::string_view kIncompleteFrame = "incomplete frame";
inline constexpr std::string_view kNoParent = "parent";
inline constexpr std::string_view kOverflow = "overflow";
inline constexpr std::string_view kSizeExceeded = "decompressed size exceeded";
inline constexpr std::string_view kFileHashMismatch = "file hash mismatch: ";  // + the entry's path
inline constexpr std::string_view kMissingFinal = "missing authenticated final segment";
}  // namespace text

}  // namespace pack

// Succeeds when `name` is exactly "objects/" + 32 ASCII hex digits (either
// case) + ".qvp"; otherwise fails with "object name must be objects/<32 hex
// digits>.qvp".
Status check_object_name(std::string_view name);

// Checks a stored object against its signed record: the file's size (links
// followed) must equal `entry.object_bytes` ("object size mismatch"; checked
// first, so a wrong size costs no hashing), then the SHA-256 text of the whole
// file must equal `entry.object_sha256` byte for byte ("signed ciphertext hash
// mismatch"). Metadata, open and read failures are the operating-system error.
// Reads the file once, in bounded memory.
Status verify_object_file(const std::filesystem::path& object, const FileEntry& entry);
// The same through the caller's read buffer (reads of up to its size, which
// must not be zero), for a caller that verifies many objects in a row.
Status verify_object_file(const std::filesystem::path& object, const FileEntry& entry, std::span<std::byte> buffer);

// Reads a content object one verified segment at a time. Owns the object file
// (closed when the reader is dropped) and the key, which it wipes when it is
// dropped and, for the final segment's key use, as soon as that segment is
// opened. No byte of a segment is handed out before its tag has verified.
// Move-only; one thread at a time.
class SegmentedDecryptReader {
 public:
  SegmentedDecryptReader(SegmentedDecryptReader&&) noexcept;
  SegmentedDecryptReader& operator=(SegmentedDecryptReader&&) noexcept;
  ~SegmentedDecryptReader();

  // Copies up to `out.size()` plaintext bytes, never more than the current
  // segment still holds; 0 means the final segment was opened and nothing
  // follows it. Errors: "failed to fill whole buffer" for a file that ends
  // inside a segment, "encrypted stream authentication/framing failed" for any
  // framing or authentication fault, or an operating-system read error. After
  // an error the reader must not be used again.
  Result<std::size_t> read(std::span<std::byte> out);

  // True once the final segment has been opened and the end of the file
  // confirmed after it.
  bool final_seen() const { return final_seen_; }

  // Where the reader takes the object's bytes after the header from: by
  // default its own file. An install that reads the file on another thread
  // (hashing it on the way) hands the reader that thread's output instead;
  // `source` must yield the file's bytes in order, 0 only at its end, or the
  // read error. While a source is set, the reader does not touch its file.
  using InputSource = std::function<Result<std::size_t>(std::span<std::byte>)>;
  void set_input_source(InputSource source) { input_source_ = std::move(source); }
  // The object file the reader owns, positioned after what it has read, for
  // such a source to read from; it stays the reader's.
  int file_descriptor() const { return file_.get(); }

 private:
  SegmentedDecryptReader(platform::UniqueFd file, std::span<const std::uint8_t, pack::kKeyBytes> key,
                         std::span<const std::uint8_t, pack::kNoncePrefixBytes> nonce_prefix);
  Status open_next_segment();
  Result<std::size_t> read_input(std::span<std::byte> out);
  Status read_input_exact(std::span<std::byte> out);
  void wipe_key();

  platform::UniqueFd file_;
  std::array<std::uint8_t, pack::kKeyBytes> key_{};
  std::array<std::uint8_t, pack::kNoncePrefixBytes> nonce_prefix_{};
  std::uint32_t counter_ = 0;
  bool final_seen_ = false;
  bool broken_ = false;  // a read failed; every further read fails
  // One buffer of the largest segment's size holds a segment's ciphertext
  // and, decrypted in place, its plaintext.
  pack::KeptBuffer segment_{pack::kMaxSegmentLength};
  std::size_t plain_size_ = 0;
  std::size_t plain_pos_ = 0;
  InputSource input_source_;

  friend Result<SegmentedDecryptReader> read_object_header(
      platform::UniqueFd file, std::span<const std::uint8_t, pack::kKeyBytes> key,
      std::span<const std::uint8_t, pack::kNoncePrefixBytes> nonce_prefix);
};

// Takes ownership of an object file opened for reading at offset 0, reads its
// 27-byte header and returns the reader positioned at the first segment. Fails
// with "failed to fill whole buffer" for a shorter file, the operating-system
// error for a read failure, and "object header mismatch" when the magic or the
// nonce prefix differ; the file is closed on failure.
Result<SegmentedDecryptReader> read_object_header(platform::UniqueFd file,
                                                  std::span<const std::uint8_t, pack::kKeyBytes> key,
                                                  std::span<const std::uint8_t, pack::kNoncePrefixBytes> nonce_prefix);

// Streaming decompression of the frames an object carries, one after another,
// reading its input through a 131,075-byte buffer from the reader it owns.
// Move-only; one thread at a time.
class ObjectDecoder {
 public:
  ObjectDecoder(ObjectDecoder&&) noexcept;
  ObjectDecoder& operator=(ObjectDecoder&&) noexcept;
  ~ObjectDecoder();

  // Limits the window a frame may ask for to 2^`window_log` bytes; 0 restores
  // the library's default (2^27). Values the library refuses (1 to 9, above
  // 31) fail with its own message.
  Status set_max_window_log(std::uint32_t window_log);

  const SegmentedDecryptReader& reader() const { return reader_; }
  SegmentedDecryptReader& reader() { return reader_; }

  // Where the decoder pulls its input from: by default its own reader. An
  // install that reads and decrypts on another thread hands the decoder
  // that thread's output instead; `source` must yield exactly what the
  // reader's read() would for the decoder's input buffer, in the same order
  // (the same byte counts, the same 0 at the end, the same error), so decoding is
  // unchanged. While a source is set, the decoder does not touch the reader.
  using InputSource = std::function<Result<std::size_t>(std::span<std::byte>)>;
  void set_input_source(InputSource source) { input_source_ = std::move(source); }

 private:
  struct Context;
  struct ContextFree {
    void operator()(Context* context) const;
  };
  enum class State { Reading, PastEnd, Finished };

  ObjectDecoder(SegmentedDecryptReader reader, std::unique_ptr<Context, ContextFree> context);

  SegmentedDecryptReader reader_;
  std::unique_ptr<Context, ContextFree> context_;
  InputSource input_source_;
  pack::KeptBuffer input_{pack::kDecoderInputBytes};
  std::size_t input_size_ = 0;
  std::size_t input_pos_ = 0;
  State state_ = State::Reading;
  bool frame_complete_ = false;  // the last decompression call ended a frame
  bool output_pending_ = false;  // the last call filled the output and may hold more

  friend Result<ObjectDecoder> open_object_decoder(SegmentedDecryptReader reader);
  friend Result<std::size_t> read_object_data(ObjectDecoder& decoder, std::span<std::byte> buffer);
};

// Creates the decompression context over `reader` (taking ownership). Fails
// only when the library cannot allocate its context.
Result<ObjectDecoder> open_object_decoder(SegmentedDecryptReader reader);

// Places the next decompressed bytes in `buffer` (which must not be empty) and
// returns how many, as soon as any were produced; 0 means every frame ended
// and the object is exhausted, and stays 0. Errors: the reader's errors,
// "incomplete frame" when the input ends inside a frame or held no frame at
// all, and the decompressor's own message for a corrupt frame or a window
// above the limit.
Result<std::size_t> read_object_data(ObjectDecoder& decoder, std::span<std::byte> buffer);

// Called after each chunk written to the target with the running total of
// bytes written; an error stops the install and is returned unchanged.
using InstallWriteCallback = std::function<Status(std::uint64_t written)>;

// The pipeline threads that installs running at once share: at most `limit`
// of those installs run on a pipeline at a time, and the others on their
// calling thread alone, which gives the same chunks, checks and errors. So
// several installs at once neither crowd the processors with threads nor
// each hold a pipeline's buffers. Any thread may use it.
class InstallPipelines {
 public:
  explicit InstallPipelines(unsigned limit) : free_(limit) {}
  InstallPipelines(const InstallPipelines&) = delete;
  InstallPipelines& operator=(const InstallPipelines&) = delete;

  // Takes a pipeline when one is free; an install that gets true gives it
  // back with give_back().
  bool try_take() {
    unsigned free = free_.load();
    while (free > 0 && !free_.compare_exchange_weak(free, free - 1)) {
    }
    return free > 0;
  }
  void give_back() { free_.fetch_add(1); }

 private:
  std::atomic<unsigned> free_;
};

struct InstallObjectOptions {
  // Permission bits of the created target, before the umask: 0644, or 0755
  // for a program (the game executable, a staged launcher).
  std::uint32_t mode = pack::kFileMode;
  // Flush the file and its folder entry before returning. A caller that
  // installs many files and makes them durable together before it relies on
  // them (the install executor, before its commit) passes false.
  bool flush = true;
  // Shared with the installs that run beside this one; none: an install
  // alone, which runs a large object on a pipeline whenever it is worth it.
  // With it, only an object of kSharedPipelineObjectBytes or more asks for a
  // pipeline, and runs on its own thread when none is free.
  InstallPipelines* pipelines = nullptr;
  // The caller verified the object with verify_object_file in the
  // transaction it still holds under the client lock. With a cryptographic
  // content digest (sha256, blake3) the install then does not hash the
  // object again: every segment's tag under the signed key and the digest of
  // the output still hold the installed bytes to the signed content, so a
  // changed object fails the install with the error the install meets. With
  // any other digest, which other content could match, the object is hashed
  // during the install as without this.
  bool object_verified = false;
};

// Creates `target` as a new file and fills it from `object`: the object's
// size against `entry.object_bytes`; the write guard and the reparse check on the target;
// the parent folders ("parent" when the target has none); the target created
// new (never following a link, failing with the operating-system error when
// anything exists there, so an existing file is never opened or changed);
// then the object decrypted, decompressed with the window limited to
// 2^min(`window_log_cap`, 27) (0: the library default, also 2^27), measured,
// hashed and written in chunks of at most 1 MiB, `on_write` called after each.
// The object's own SHA-256 is taken during that read, not in a pass of its
// own: an object whose size or SHA-256 is not the signed one fails with
// verify_object_file's error, whatever the install met first (when the
// install ended before the whole object was read, the object is hashed then),
// and the target is never flushed before the hash matched. An object of
// kThreadedInstallObjectBytes or more is read with that hash, decrypted,
// decompressed and content-hashed on four helper threads, at most
// kInstallChunkSlots buffers ahead each; checking, writing and `on_write`
// stay on the caller's thread, in order, with the same chunks and the same
// first error as a single thread would meet, and nothing after a failed chunk
// is written. Every helper is joined before this returns, on every path.
// A chunk that would take the total past `entry.bytes` fails with
// "decompressed size exceeded" and is not written. A short total or a digest
// other than `entry.digest` fails with "file hash mismatch: {entry.path}". The
// file and its folder entry are flushed to disk only after every check passed.
//
// On failure nothing is removed: the target keeps whatever was written, created
// folders stay, the object is unchanged. The caller provides exclusion from
// other launchers.
Status install_object(const std::filesystem::path& object, const std::filesystem::path& target,
                      const FileEntry& entry, std::uint32_t window_log_cap, const InstallWriteCallback& on_write,
                      const InstallObjectOptions& options = {});

// Frees the buffers and decompression contexts that finished installs keep
// for the next one (KeptBuffer): for a caller done installing for a while,
// so that a long-running process does not hold them. Installs running
// meanwhile are not disturbed. Any thread.
void release_kept_install_memory();

}  // namespace qv
