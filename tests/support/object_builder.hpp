// Content objects for tests: the object half of the test release builder.
//
// An object is written by streaming: plain bytes are pulled from a source,
// compressed into one or more frames, cut into segments, sealed and written,
// so a fixture of several GiB costs no memory. The result carries the
// FileEntry fields a manifest would sign for it.
//
// Tamper hooks change what is written while the object's size and SHA-256
// are still computed over the written bytes, so a tampered object passes the
// stored-object check and fails only where the tamper is meant to be found.
//
// Failures (a file that cannot be written, a compressor error) throw
// std::runtime_error: this is test code.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/formats/manifest.hpp"

namespace qv::test {

// Where the bytes come from: `size` is the number of bytes `read` yields in
// total; `read` fills a prefix of the span and returns its length, 0 at the end.
struct ByteSource {
  std::uint64_t size = 0;
  std::function<std::size_t(std::span<std::byte>)> read;
};

ByteSource bytes_source(std::string bytes);
ByteSource file_source(const std::filesystem::path& path);
// `size` bytes of deterministic, moderately compressible data (a few bits of
// entropy per byte, like typical game data), generated on the fly.
ByteSource pattern_source(std::uint64_t size, std::uint64_t seed = 1);

enum class SegmentAction {
  FlipTagByte,         // last byte of the tag
  FlipCiphertextByte,  // first byte of the body (the tag for an empty segment)
  SetLength,           // the L field written becomes `value`; the body is unchanged
  SetFlag,             // the flag byte written becomes `value`
  Drop,                // the segment is not written
  Duplicate,           // the segment is written twice
  SwapWithNext,        // the next segment is written before this one
  StrayByteAfter,      // one byte (0x00) follows the segment
};

// Applies to the segment sealed with counter `segment` (0 = first).
struct SegmentTamper {
  std::uint64_t segment = 0;
  SegmentAction action = SegmentAction::FlipTagByte;
  std::uint32_t value = 0;
};

struct ObjectOptions {
  std::string path = "data/file.bin";              // the entry's client path
  HashAlgorithm algorithm = HashAlgorithm::Sha256;  // of the entry's digest
  std::uint64_t seed = 1;                           // derives key, nonce and object name

  int zstd_level = 3;
  int window_log = 0;               // ZSTD_c_windowLog; 0: the level's choice
  bool unknown_frame_size = false;  // frames without a content size
  std::uint64_t frame_bytes = 0;    // plain bytes per frame; 0: one frame

  // Plaintext bytes of successive segments, the last size repeating; empty
  // means 1 MiB each. A size of 0 makes an empty segment.
  std::vector<std::size_t> segment_sizes;
  bool empty_final_segment = false;  // close with an empty final segment

  std::string magic = "QVPAT001";                        // written as the header magic
  std::optional<std::array<std::uint8_t, 19>> header_nonce;  // written instead of the entry's nonce
  std::vector<SegmentTamper> tampers;
  // Sees every chunk of the object before it is hashed and written, with its
  // file offset; may change any byte.
  std::function<void(std::uint64_t offset, std::span<std::byte>)> on_object_bytes;
  // Sees the plaintext stream (the frames) as it is made.
  std::function<void(std::span<const std::byte>)> on_stream;
};

struct BuiltObject {
  FileEntry entry;                // path, bytes, algorithm, digest, object, object_bytes, object_sha256, key, nonce
  std::uint64_t segments = 0;     // segments sealed (before tampering)
  std::uint64_t stream_bytes = 0; // plaintext bytes of all segments
};

// Writes the object of the file whose bytes `plain` yields to `object_path`
// (its folders created; an existing file replaced).
BuiltObject build_object(const std::filesystem::path& object_path, ByteSource plain, const ObjectOptions& options = {});

// Writes an object whose plaintext stream is `stream` as given (frames made
// by hand, legacy, corrupt, or none at all). The entry's `bytes` and `digest`
// are left 0 and empty for the caller to fill; the compression options are
// not used.
BuiltObject build_object_from_stream(const std::filesystem::path& object_path, ByteSource stream,
                                     const ObjectOptions& options = {});

// The key and nonce prefix an object of `seed` is sealed with.
std::array<std::uint8_t, 32> object_key(std::uint64_t seed);
std::array<std::uint8_t, 19> object_nonce(std::uint64_t seed);

// Zstandard frames of `plain`, in memory (for small inputs only).
std::string compress_frames(std::string_view plain, const ObjectOptions& options = {});

}  // namespace qv::test
