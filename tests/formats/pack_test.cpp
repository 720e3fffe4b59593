#include "core/formats/pack.hpp"

#include <sys/stat.h>
#include <unistd.h>
#include <zstd_errors.h>

#include <chrono>
#include <cstring>
#include <iterator>
#include <filesystem>
#include <optional>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/foundations/hashing.hpp"
#include "support/object_builder.hpp"
#include "support/temp_dir.hpp"

namespace qv {
namespace {

namespace fs = std::filesystem;
using test::ObjectOptions;
using test::SegmentAction;
using test::SegmentTamper;

constexpr std::uint32_t kCap = 27;

std::string pattern(std::size_t size, std::uint64_t seed = 7) {
  std::string out(size, '\0');
  auto source = test::pattern_source(size, seed);
  source.read(std::as_writable_bytes(std::span(out.data(), out.size())));
  return out;
}

// Bytes that do not compress, so the frames are about as long as the file.
std::string noise(std::size_t size) { return test::noise_bytes(size); }

std::string error_text(const Status& status) { return status ? std::string("ok") : status.error().to_string(); }

// A hand-made frame of the v0.7 format: header without content size, a
// 1 KiB window, one raw block and the end block.
std::string legacy_v07_frame(std::string_view content) {
  std::string frame("\x27\xb5\x2f\xfd\x00\x00", 6);
  frame += static_cast<char>(0x40 | ((content.size() >> 16) & 7));
  frame += static_cast<char>((content.size() >> 8) & 0xff);
  frame += static_cast<char>(content.size() & 0xff);
  frame += content;
  frame += std::string("\xc0\x00\x00", 3);
  return frame;
}

class PackTest : public ::testing::Test {
 protected:
  void SetUp() override { old_umask_ = ::umask(022); }
  void TearDown() override { ::umask(old_umask_); }

  fs::path object_path() const { return dir_ / "downloads/objects/obj.qvp"; }
  fs::path target_path() const { return dir_ / "client/data/file.bin"; }

  test::BuiltObject build(std::string_view plain, const ObjectOptions& options = {}) {
    return test::build_object(object_path(), test::bytes_source(std::string(plain)), options);
  }
  test::BuiltObject build_stream(std::string_view stream, const ObjectOptions& options = {}) {
    return test::build_object_from_stream(object_path(), test::bytes_source(std::string(stream)), options);
  }

  // Installs into a fresh client folder.
  Status install(const FileEntry& entry, std::uint32_t cap = kCap, InstallObjectOptions options = {}) {
    fs::remove_all(dir_ / "client");
    totals_.clear();
    return install_onto(entry, cap, options);
  }
  // Installs onto whatever the client folder holds.
  Status install_onto(const FileEntry& entry, std::uint32_t cap = kCap, InstallObjectOptions options = {}) {
    return install_object(object_path(), target_path(), entry, cap, [this](std::uint64_t total) -> Status {
      totals_.push_back(total);
      return {};
    }, options);
  }

  std::string target() const { return test::read_file(target_path()); }

  void refuses_foreign_objects(std::size_t size);

  test::TempDir dir_;
  std::vector<std::uint64_t> totals_;
  mode_t old_umask_ = 0;
};

TEST(ObjectName, AcceptsExactlyThirtyTwoHexDigitsOfEitherCase) {
  const std::string hex32 = "0123456789abcdefABCDEF0123456789";
  EXPECT_TRUE(check_object_name("objects/" + hex32 + ".qvp"));
  EXPECT_TRUE(check_object_name("objects/0123456789ABCDEF0123456789ABCDEF.qvp"));
  const std::vector<std::string> bad = {
      "objects/" + hex32.substr(1) + ".qvp",        // 31 digits
      "objects/" + hex32 + "a.qvp",                 // 33 digits
      "objects/" + hex32.substr(1) + "g.qvp",       // not a hex digit
      "objectsX" + hex32 + ".qvp",                  // wrong prefix, same length
      "Objects/" + hex32 + ".qvp",
      "objects/" + hex32 + ".QVP",
      "objects/" + hex32 + ".qvp\n",             // a trailing line break
      hex32 + ".qvp",
      "",
  };
  for (const auto& name : bad) {
    EXPECT_EQ(error_text(check_object_name(name)), pack::text::kBadObjectName) << name;
  }
}

TEST_F(PackTest, VerifyChecksSizeFirstThenTheHashOfEveryByte) {
  auto built = build(pattern(100'000));
  EXPECT_TRUE(verify_object_file(object_path(), built.entry));

  for (const std::int64_t delta : {-1, 1}) {
    FileEntry entry = built.entry;
    entry.object_bytes += static_cast<std::uint64_t>(delta);
    EXPECT_EQ(error_text(verify_object_file(object_path(), entry)), pack::text::kObjectSizeMismatch);
  }
  for (const std::uint64_t offset : {std::uint64_t{0}, built.entry.object_bytes / 2, built.entry.object_bytes - 1}) {
    ObjectOptions options;
    options.on_object_bytes = [offset](std::uint64_t at, std::span<std::byte> bytes) {
      if (offset >= at && offset < at + bytes.size()) bytes[offset - at] ^= std::byte{0x10};
    };
    auto flipped = build(pattern(100'000), options);
    ASSERT_EQ(flipped.entry.object_bytes, built.entry.object_bytes);
    EXPECT_EQ(error_text(verify_object_file(object_path(), built.entry)), pack::text::kCiphertextHashMismatch)
        << offset;
  }

  const auto missing = verify_object_file(dir_ / "missing.qvp", built.entry);
  ASSERT_FALSE(missing);
  EXPECT_TRUE(missing.error().is_not_found());
}

enum class Content { Pattern, Noise, Zeros };

struct RoundTrip {
  const char* name;
  std::size_t size;
  Content content;
  ObjectOptions options;
};

TEST_F(PackTest, InstallsFilesOfEveryShape) {
  auto opts = [](auto&& change) {
    ObjectOptions options;
    change(options);
    return options;
  };
  const std::vector<RoundTrip> cases = {
      {"empty file", 0, Content::Pattern, {}},
      {"empty file, empty segments", 0, Content::Pattern, opts([](auto& o) { o.segment_sizes = {0, 0, 4}; })},
      {"small", 1000, Content::Pattern, {}},
      {"highly compressible", 5 * 1024 * 1024, Content::Zeros, {}},
      // The whole stream fits one input read and its last frame straddles a
      // chunk boundary.
      {"last frame across a chunk boundary", 3 * 1024 * 1024 + 50'000, Content::Zeros,
       opts([](auto& o) { o.frame_bytes = 100'000; })},
      {"several chunks", 3 * 1024 * 1024 + 17, Content::Pattern, {}},
      {"small segments", 50'000, Content::Pattern, opts([](auto& o) { o.segment_sizes = {1, 2, 100}; })},
      {"empty segments between", 20'000, Content::Pattern, opts([](auto& o) { o.segment_sizes = {0, 10, 0, 0, 300}; })},
      {"empty final segment", 20'000, Content::Pattern, opts([](auto& o) { o.empty_final_segment = true; })},
      {"several frames", 100'000, Content::Pattern, opts([](auto& o) { o.frame_bytes = 30'000; })},
      {"frames of unknown size", 100'000, Content::Pattern, opts([](auto& o) {
         o.frame_bytes = 40'000;
         o.unknown_frame_size = true;
       })},
      {"level 19, xxh64", 40'000, Content::Pattern, opts([](auto& o) {
         o.zstd_level = 19;
         o.algorithm = HashAlgorithm::Xxh64;
       })},
      {"xxh3-64", 1000, Content::Pattern, opts([](auto& o) { o.algorithm = HashAlgorithm::Xxh3_64; })},
      {"xxh3-128", 1000, Content::Pattern, opts([](auto& o) { o.algorithm = HashAlgorithm::Xxh3_128; })},
      {"blake3", 1000, Content::Pattern, opts([](auto& o) { o.algorithm = HashAlgorithm::Blake3; })},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string plain = c.content == Content::Noise   ? noise(c.size)
                              : c.content == Content::Zeros ? std::string(c.size, '\0')
                                                            : pattern(c.size);
    auto built = build(plain, c.options);
    ASSERT_EQ(built.entry.bytes, plain.size());
    ASSERT_TRUE(install(built.entry)) << error_text(install(built.entry));
    EXPECT_EQ(target(), plain);
    // Every chunk is reported, and none is larger than the output buffer.
    std::uint64_t previous = 0;
    for (const auto total : totals_) {
      EXPECT_GT(total, previous);
      EXPECT_LE(total - previous, pack::kInstallChunkBytes);
      previous = total;
    }
    EXPECT_EQ(previous, plain.size());
  }
}

TEST_F(PackTest, TheLargestSegmentIsAccepted) {
  const std::string plain = noise(1024 * 1024 + 4096);
  std::optional<std::uint32_t> first_length;
  ObjectOptions options;
  options.on_object_bytes = [&](std::uint64_t at, std::span<std::byte> bytes) {
    if (at == pack::kHeaderBytes) std::memcpy(&first_length.emplace(), bytes.data(), 4);
  };
  auto built = build(plain, options);
  ASSERT_EQ(first_length, pack::kMaxSegmentLength);
  ASSERT_TRUE(install(built.entry)) << error_text(install(built.entry));
  EXPECT_EQ(target(), plain);
}

TEST_F(PackTest, CreatedFilesGetTheRequestedModeUnderTheUmask) {
  auto built = build("#!/bin/sh\n");
  struct Case {
    InstallObjectOptions options;
    mode_t umask;
    std::uint32_t expected;
  };
  for (const Case& c : {Case{{}, 022, 0644}, Case{{pack::kExecutableMode}, 022, 0755}, Case{{pack::kExecutableMode}, 077, 0700}}) {
    ::umask(c.umask);
    ASSERT_TRUE(install(built.entry, kCap, c.options));
    EXPECT_EQ(static_cast<std::uint32_t>(fs::status(target_path()).permissions()), c.expected);
  }
}

TEST_F(PackTest, AnythingAlreadyAtTheTargetIsLeftUntouched) {
  auto built = build("new content");
  test::write_file(target_path(), "old content");
  auto status = install_onto(built.entry);
  ASSERT_FALSE(status);
  EXPECT_EQ(status.error().os_code(), EEXIST);
  EXPECT_EQ(target(), "old content");

  // A link at the target, even one that points nowhere, is refused before
  // anything is created through it.
  fs::remove(target_path());
  fs::create_symlink(dir_ / "elsewhere", target_path());
  status = install_onto(built.entry);
  EXPECT_EQ(error_text(status).rfind("reparse point rejected: ", 0), 0u) << error_text(status);
  EXPECT_FALSE(fs::exists(dir_ / "elsewhere"));
}

TEST_F(PackTest, ParentFoldersAreCreatedAndARootTargetHasNone) {
  auto built = build("deep");
  const fs::path deep = dir_ / "client/a/b/c/file.txt";
  ASSERT_TRUE(install_object(object_path(), deep, built.entry, kCap, [](std::uint64_t) { return Status{}; }));
  EXPECT_EQ(test::read_file(deep), "deep");

  EXPECT_EQ(error_text(install_object(object_path(), "/", built.entry, kCap, [](std::uint64_t) { return Status{}; })),
            pack::text::kNoParent);
}

TEST_F(PackTest, AWriteCallbackErrorStopsAfterItsChunkAndIsReturnedUnchanged) {
  const std::string plain = pattern(5 * 1024 * 1024);
  auto built = build(plain);
  std::uint64_t first_total = 0;
  auto status = install_object(object_path(), target_path(), built.entry, kCap, [&](std::uint64_t total) -> Status {
    first_total = total;
    return fail(Error("inner").context("injected write failure during data/file.bin"));
  });
  EXPECT_EQ(error_text(status), "injected write failure during data/file.bin: inner");
  ASSERT_GT(first_total, 0u);
  EXPECT_EQ(target(), plain.substr(0, first_total));
}

std::size_t thread_count() {
  return static_cast<std::size_t>(std::distance(fs::directory_iterator("/proc/self/task"), fs::directory_iterator()));
}

struct EarlyEndCase {
  const char* name;
  std::vector<SegmentTamper> tampers;
  std::uint64_t signed_size = 0;  // 0: the file's size
  bool callback_fails = false;    // at its first call
  std::string_view error;
  std::size_t min_written;
};

// Decryption and decompression run ahead of the writes on threads of their
// own. Whichever stage ends the install, the error is the first one a single
// thread would have met, the target holds exactly the chunks reported before
// it (plus the failing chunk for a callback error), the callback ran only on
// the calling thread, and no thread is left behind.
TEST_F(PackTest, AnInstallEndedByAnyStageEndsCleanly) {
  const std::string plain = noise(6 * 1024 * 1024);
  const std::vector<EarlyEndCase> cases = {
      // Every byte the segments before the fault carry is written before the
      // decoder's error is returned (less the block headers of the frame).
      {"decoding fails in a late segment", {{4, SegmentAction::FlipTagByte}}, 0, false, pack::text::kFraming,
       4 * 1024 * 1024 - 1024},
      {"object ends before its final segment", {{6, SegmentAction::Drop}}, 0, false, pack::text::kShortRead,
       6 * 1024 * 1024 - 1024},
      {"callback fails with the decoder waiting for a free buffer", {}, 0, true, "injected", 1},
      {"output exceeds the signed size", {}, 2 * 1024 * 1024 + 1, false, pack::text::kSizeExceeded, 1024 * 1024},
      {"complete", {}, 0, false, "ok", plain.size()},
  };
  const std::size_t threads_before = thread_count();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ObjectOptions options;
    options.zstd_level = 1;
    options.tampers = c.tampers;
    auto built = build(plain, options);
    ASSERT_EQ(built.segments, 7u);
    FileEntry entry = built.entry;
    if (c.signed_size != 0) entry.bytes = c.signed_size;

    fs::remove_all(dir_ / "client");
    std::vector<std::uint64_t> totals;
    bool off_thread = false;
    const auto caller = std::this_thread::get_id();
    const auto status = install_object(object_path(), target_path(), entry, kCap, [&](std::uint64_t total) -> Status {
      off_thread = off_thread || std::this_thread::get_id() != caller;
      totals.push_back(total);
      // A slow writer, so the decoder runs ahead and meets its own end while
      // earlier chunks still wait to be written.
      std::this_thread::sleep_for(std::chrono::milliseconds(c.callback_fails ? 50 : 10));
      if (c.callback_fails) return fail("injected");
      return {};
    });
    EXPECT_EQ(error_text(status), c.error);
    EXPECT_EQ(thread_count(), threads_before);
    EXPECT_FALSE(off_thread);
    const std::string written = target();
    EXPECT_EQ(written, plain.substr(0, written.size()));
    EXPECT_EQ(totals.empty() ? 0 : totals.back(), written.size());
    EXPECT_GE(written.size(), c.min_written);
    if (c.callback_fails) {
      EXPECT_EQ(totals.size(), 1u);
    }
  }
}

struct ForeignObjectCase {
  const char* name;
  std::function<void(FileEntry&)> change;  // what the object on disk is not
  bool target_exists = false;
  bool callback_fails = false;
  std::string_view error;
};

// The install reads and hashes the object once, on the way to the decryption,
// so it meets other faults before the whole object has been hashed. Whatever
// it meets first, an object whose bytes are not the signed ones is refused
// with the ciphertext mismatch, as a verification made before anything else
// would refuse it; an object that decodes well but is not the signed one is
// refused before the target counts.
// Both ways of installing are held to it: a small object on the calling
// thread, a large one on the pipeline.
TEST_F(PackTest, AnObjectOtherThanTheSignedOneIsRefusedWhateverTheInstallMeetsFirst) {
  for (const std::size_t size : {std::size_t{100'000}, std::size_t{3 * 1024 * 1024}}) {
    SCOPED_TRACE(std::to_string(size) + " bytes");
    refuses_foreign_objects(size);
  }
}

void PackTest::refuses_foreign_objects(std::size_t size) {
  const std::string plain = noise(size);
  ObjectOptions options;
  options.zstd_level = 1;
  const auto built = build(plain, options);
  ASSERT_EQ(built.entry.object_bytes >= pack::kThreadedInstallObjectBytes, size > 1'000'000);
  const std::string clean = test::read_file(object_path());
  const auto flip = [&](std::size_t offset) {
    std::string bytes = clean;
    bytes[offset] = static_cast<char>(bytes[offset] ^ 0x01);
    test::write_file(object_path(), bytes);
  };
  const std::string signed_hash = built.entry.object_sha256;
  const std::string other_hash = std::string(signed_hash.rbegin(), signed_hash.rend());
  const std::vector<ForeignObjectCase> cases = {
      {"the header", [&](FileEntry&) { flip(3); }, false, false, pack::text::kCiphertextHashMismatch},
      {"the first segment", [&](FileEntry&) { flip(100); }, false, false, pack::text::kCiphertextHashMismatch},
      {"the last byte", [&](FileEntry&) { flip(clean.size() - 1); }, false, false,
       pack::text::kCiphertextHashMismatch},
      {"a faithful object of another signed hash", [&](FileEntry& e) { e.object_sha256 = other_hash; }, false, false,
       pack::text::kCiphertextHashMismatch},
      {"a changed object onto an existing target", [&](FileEntry&) { flip(100); }, true, false,
       pack::text::kCiphertextHashMismatch},
      {"a changed object and a failing callback", [&](FileEntry&) { flip(clean.size() - 1); }, false, true,
       pack::text::kCiphertextHashMismatch},
      {"the signed object onto an existing target", [](FileEntry&) {}, true, false, "File exists (os error 17)"},
      {"the signed object and a failing callback", [](FileEntry&) {}, false, true, "injected"},
      {"the signed object", [](FileEntry&) {}, false, false, "ok"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::write_file(object_path(), clean);
    FileEntry entry = built.entry;
    c.change(entry);
    fs::remove_all(dir_ / "client");
    if (c.target_exists) test::write_file(target_path(), "kept");
    const auto status = install_object(object_path(), target_path(), entry, kCap, [&](std::uint64_t) -> Status {
      if (c.callback_fails) return fail("injected");
      return {};
    });
    EXPECT_EQ(error_text(status), c.error);
    if (c.target_exists) {
      EXPECT_EQ(target(), "kept");
    }
    if (c.error == "ok") {
      EXPECT_EQ(target(), plain);
    }
  }
}

TEST_F(PackTest, OutputIsHeldToTheSignedSizeAndDigest) {
  const std::string plain = pattern(4 * 1024 * 1024 + 3);
  auto built = build(plain);

  // Too long: no byte past the signed size reaches the target.
  for (const std::uint64_t signed_size : {std::uint64_t{2 * 1024 * 1024 + 10}, std::uint64_t{plain.size() - 1}}) {
    FileEntry entry = built.entry;
    entry.bytes = signed_size;
    EXPECT_EQ(error_text(install(entry)), pack::text::kSizeExceeded);
    const std::string written = target();
    EXPECT_LE(written.size(), signed_size);
    EXPECT_EQ(written, plain.substr(0, written.size()));
    EXPECT_EQ(totals_.empty() ? 0 : totals_.back(), written.size());
  }

  const std::string mismatch = std::string(pack::text::kFileHashMismatch) + "data/file.bin";
  auto with = [&](auto&& change) {
    FileEntry entry = built.entry;
    change(entry);
    return error_text(install(entry));
  };
  EXPECT_EQ(with([](FileEntry& e) { e.bytes += 1; }), mismatch);
  EXPECT_EQ(with([](FileEntry& e) {
              for (char& c : e.digest) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            }),
            mismatch);
  EXPECT_EQ(with([](FileEntry& e) { e.algorithm = HashAlgorithm::Blake3; }), mismatch);
}

struct FramingCase {
  const char* name;
  std::vector<SegmentTamper> tampers;
  std::string_view error;
};

TEST_F(PackTest, BrokenFramingIsRefused) {
  // Three segments: 0 and 1 full, 2 final.
  const std::string plain = noise(2500);
  const auto L = static_cast<std::uint32_t>(1000 + pack::kTagBytes);
  const std::vector<FramingCase> cases = {
      {"length 15", {{0, SegmentAction::SetLength, 15}}, pack::text::kFraming},
      {"length 1,048,593", {{0, SegmentAction::SetLength, pack::kMaxSegmentLength + 1}}, pack::text::kFraming},
      {"length 0", {{1, SegmentAction::SetLength, 0}}, pack::text::kFraming},
      {"flag 2", {{0, SegmentAction::SetFlag, 2}}, pack::text::kFraming},
      {"final flag on a segment sealed as not final", {{0, SegmentAction::SetFlag, 1}}, pack::text::kFraming},
      {"final segment marked not final", {{2, SegmentAction::SetFlag, 0}}, pack::text::kFraming},
      {"flipped tag", {{1, SegmentAction::FlipTagByte}}, pack::text::kFraming},
      {"flipped ciphertext", {{2, SegmentAction::FlipCiphertextByte}}, pack::text::kFraming},
      {"swapped segments", {{0, SegmentAction::SwapWithNext}}, pack::text::kFraming},
      {"duplicated segment", {{1, SegmentAction::Duplicate}}, pack::text::kFraming},
      {"dropped middle segment", {{1, SegmentAction::Drop}}, pack::text::kFraming},
      {"two final segments", {{2, SegmentAction::Duplicate}}, pack::text::kFraming},
      {"stray byte after the final segment", {{2, SegmentAction::StrayByteAfter}}, pack::text::kFraming},
      {"no final segment", {{2, SegmentAction::Drop}}, pack::text::kShortRead},
      {"file ends inside a body", {{2, SegmentAction::SetLength, L + 100}}, pack::text::kShortRead},
      // The stray byte shifts the next head: its length runs past the end.
      {"stray byte where a head should be", {{1, SegmentAction::StrayByteAfter}}, pack::text::kShortRead},
  };
  ObjectOptions clean;
  clean.segment_sizes = {1000};
  clean.zstd_level = 1;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ObjectOptions options = clean;
    options.tampers = c.tampers;
    auto built = build(plain, options);
    ASSERT_EQ(built.segments, 3u);
    EXPECT_EQ(error_text(install(built.entry)), c.error);
  }
  auto built = build(plain, clean);
  ASSERT_TRUE(install(built.entry));
}

TEST_F(PackTest, AnObjectFromAnotherKeyOrNonceIsRefused) {
  auto built = build("content");
  FileEntry entry = built.entry;
  entry.key[0] ^= 1;
  EXPECT_EQ(error_text(install(entry)), pack::text::kFraming);

  ObjectOptions options;
  options.header_nonce = test::object_nonce(2);
  EXPECT_EQ(error_text(install(build("content", options).entry)), pack::text::kHeaderMismatch);

  options = {};
  options.magic = "QVPAT002";
  EXPECT_EQ(error_text(install(build("content", options).entry)), pack::text::kHeaderMismatch);
}

// Objects written byte by byte: the header alone, or less.
TEST_F(PackTest, ObjectsEndingInTheHeaderOrBeforeAnyFrame) {
  auto raw = [&](std::string bytes) {
    test::write_file(object_path(), bytes);
    FileEntry entry;
    entry.path = "data/file.bin";
    entry.key = test::object_key(1);
    entry.nonce = test::object_nonce(1);
    entry.object_bytes = bytes.size();
    entry.object_sha256 = hash_bytes_sha256(bytes).digest;
    return error_text(install(entry));
  };
  const auto nonce = test::object_nonce(1);
  const std::string header = std::string(pack::kMagic) + std::string(nonce.begin(), nonce.end());
  EXPECT_EQ(raw(header), pack::text::kShortRead);
  EXPECT_EQ(raw(header.substr(0, 20)), pack::text::kShortRead);
  EXPECT_EQ(raw(header + std::string(3, '\x10')), pack::text::kShortRead);

  // The smallest object: one empty final segment, which carries no frame.
  auto empty = build_stream("");
  EXPECT_EQ(empty.entry.object_bytes, 48u);
  EXPECT_EQ(error_text(install(empty.entry)), pack::text::kIncompleteFrame);
}

TEST_F(PackTest, StreamsThatAreNotWholeFramesAreRefused) {
  const std::string plain = pattern(200'000);
  const std::string frames = test::compress_frames(plain);
  auto with_stream = [&](std::string_view stream) {
    auto built = build_stream(stream);
    built.entry.bytes = plain.size();
    built.entry.digest = hash_bytes_sha256(plain).digest;
    return error_text(install(built.entry));
  };
  EXPECT_EQ(with_stream(frames), "ok");
  EXPECT_EQ(with_stream(frames.substr(0, frames.size() - 3)), pack::text::kIncompleteFrame);
  EXPECT_EQ(with_stream(frames + frames.substr(0, 5)), pack::text::kIncompleteFrame);
  EXPECT_EQ(with_stream("this is not a frame"), ZSTD_getErrorString(ZSTD_error_prefix_unknown));
}

TEST_F(PackTest, LegacyFramesDecodeAloneAndBesideCurrentOnes) {
  const std::string first = "legacy frame v0.7\n";
  const std::string second = pattern(10'000);
  auto with_stream = [&](const std::string& stream, const std::string& plain) {
    auto built = build_stream(stream);
    built.entry.bytes = plain.size();
    built.entry.digest = hash_bytes_sha256(plain).digest;
    const auto status = install(built.entry);
    EXPECT_EQ(error_text(status), "ok");
    if (status) {
      EXPECT_EQ(target(), plain);
    }
  };
  with_stream(legacy_v07_frame(first), first);
  with_stream(legacy_v07_frame(first) + test::compress_frames(second), first + second);
}

struct WindowCase {
  const char* name;
  int window_log;
  bool unknown_size;
  std::size_t size;
  std::uint32_t cap;
  bool accepted;
};

// Frames either of unknown size or larger than the output buffer: a frame
// small enough to be decoded in one pass would never reach the window check.
TEST_F(PackTest, TheWindowCapIsEnforced) {
  const std::vector<WindowCase> cases = {
      {"unknown size, window at the cap", 20, true, 5000, 20, true},
      {"unknown size, window one above the cap", 21, true, 5000, 20, false},
      {"unknown size, 2^27 at cap 27", 27, true, 5000, 27, true},
      {"unknown size, 2^28 at cap 27", 28, true, 5000, 27, false},
      {"cap 0 means 2^27: accepts 27", 27, true, 5000, 0, true},
      {"cap 0 means 2^27: refuses 28", 28, true, 5000, 0, false},
      {"a cap above 27 still means 2^27", 28, true, 5000, 31, false},
      // A frame of known size up to its window is declared with the content
      // size as its window.
      {"known size equal to the limit", 21, false, 1024 * 1024, 20, true},
      {"known size one above the limit", 21, false, 1024 * 1024 + 1, 20, false},
      {"large frame at cap 21", 21, false, 3 * 512 * 1024, 21, true},
      {"large frame at cap 20", 21, false, 3 * 512 * 1024, 20, false},
  };
  const std::string too_large = ZSTD_getErrorString(ZSTD_error_frameParameter_windowTooLarge);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ObjectOptions options;
    options.window_log = c.window_log;
    options.unknown_frame_size = c.unknown_size;
    options.zstd_level = 1;
    auto built = build(pattern(c.size), options);
    EXPECT_EQ(error_text(install(built.entry, c.cap)), c.accepted ? "ok" : too_large);
  }
}

TEST_F(PackTest, ACapTheDecompressorRefusesFailsTheInstall) {
  auto built = build("x");
  for (const std::uint32_t cap : {1u, 9u}) {
    EXPECT_EQ(error_text(install(built.entry, cap)), ZSTD_getErrorString(ZSTD_error_parameter_outOfBound)) << cap;
  }
  EXPECT_TRUE(install(built.entry, 10));
}

}  // namespace
}  // namespace qv
