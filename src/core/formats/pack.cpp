// Object names, stored-object verification and the install of one client file
// from its object.
#include "core/formats/pack.hpp"

#include <fcntl.h>

#include <cerrno>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <thread>

#include "core/foundations/fileops.hpp"
#include "core/foundations/hashing.hpp"
#include "core/foundations/paths.hpp"
#include "platform/durable.hpp"
#include "platform/fs.hpp"
#include "platform/sequential_read.hpp"

namespace qv {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kNamePrefix = "objects/";
constexpr std::string_view kNameSuffix = ".qvp";
constexpr std::size_t kNameHexDigits = 32;

bool is_ascii_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// The folder that will hold the target, taking a relative target below the
// current folder; the root of the file system has none.
Result<fs::path> target_parent(const fs::path& target) {
  fs::path absolute = target;
  if (!absolute.is_absolute()) absolute = QV_TRY(platform::current_dir()) / target;
  if (absolute.relative_path().empty()) return fail(std::string(pack::text::kNoParent));
  return absolute.parent_path();
}

std::unexpected<Error> file_hash_mismatch(const FileEntry& entry) {
  return fail(std::string(pack::text::kFileHashMismatch) + entry.path);
}

// Hands decoded chunks from the decoding thread to the installing thread, in
// order, through a fixed ring of output buffers: the decoder fills free slots
// while the installer checks, hashes and writes the filled ones, so an install
// never holds more than kInstallChunkSlots chunks.
//
// A slot belongs to the decoder from begin_fill() until publish(), and to the
// installer from next() until release(); the mutex orders each hand-over, so
// the bytes of a slot are never touched by both threads at once. The decoder
// ends the stream with finish() (success for the end of the object, or its
// error, which the installer meets only after every chunk published before
// it); the installer gives up with stop(), after which begin_fill() refuses.
class ChunkRing {
 public:
  // Decoding thread: the buffer to fill next, waiting for the installer to
  // free one; nothing once the installer has stopped. Buffers are allocated
  // when first needed and not cleared, so only the pages the decoder writes
  // become resident: a small file costs little more than its own bytes.
  std::optional<std::span<std::byte>> begin_fill() {
    std::unique_lock lock(mutex_);
    slot_freed_.wait(lock, [this] { return stopped_ || filled_ < pack::kInstallChunkSlots; });
    if (stopped_) return std::nullopt;
    auto& buffer = slots_[write_index_].buffer;
    lock.unlock();
    if (!buffer) buffer = std::make_unique_for_overwrite<std::byte[]>(pack::kInstallChunkBytes);
    return std::span(buffer.get(), pack::kInstallChunkBytes);
  }

  // Decoding thread: the buffer from begin_fill() now holds `size` bytes.
  void publish(std::size_t size) {
    {
      std::lock_guard lock(mutex_);
      slots_[write_index_].size = size;
      write_index_ = (write_index_ + 1) % pack::kInstallChunkSlots;
      ++filled_;
    }
    chunk_ready_.notify_one();
  }

  // Decoding thread: no chunk follows; `end` is success at the end of the
  // object, or the error that stopped the decoding.
  void finish(Status end) {
    {
      std::lock_guard lock(mutex_);
      end_ = std::move(end);
      ended_ = true;
    }
    chunk_ready_.notify_one();
  }

  // Installing thread: the next chunk in order, waiting for the decoder; an
  // empty span at the end of the object, or the decoder's error once every
  // chunk before it was taken.
  Result<std::span<const std::byte>> next() {
    std::unique_lock lock(mutex_);
    chunk_ready_.wait(lock, [this] { return ended_ || filled_ > 0; });
    if (filled_ == 0) {
      if (!end_) return fail(end_.error());
      return std::span<const std::byte>();
    }
    const auto& slot = slots_[read_index_];
    return std::span<const std::byte>(slot.buffer.get(), slot.size);
  }

  // Installing thread: done with the chunk next() returned.
  void release() {
    {
      std::lock_guard lock(mutex_);
      read_index_ = (read_index_ + 1) % pack::kInstallChunkSlots;
      --filled_;
    }
    slot_freed_.notify_one();
  }

  // Installing thread: no further chunk will be taken; the decoder stops at
  // its next begin_fill().
  void stop() {
    {
      std::lock_guard lock(mutex_);
      stopped_ = true;
    }
    slot_freed_.notify_one();
  }

 private:
  struct Slot {
    std::unique_ptr<std::byte[]> buffer;
    std::size_t size = 0;
  };

  std::mutex mutex_;
  std::condition_variable chunk_ready_;
  std::condition_variable slot_freed_;
  std::array<Slot, pack::kInstallChunkSlots> slots_;
  std::size_t read_index_ = 0;
  std::size_t write_index_ = 0;
  std::size_t filled_ = 0;
  bool ended_ = false;
  Status end_;
  bool stopped_ = false;
};

// Runs the decoder into the ring on its own thread until the object ends, it
// fails, or the installer stops. Dropping it stops the ring and joins the
// thread, so no early return of the installer can leave the thread running or
// outliving the decoder and ring it borrows.
class DecodingThread {
 public:
  explicit DecodingThread(ChunkRing& ring) : ring_(ring) {}
  DecodingThread(const DecodingThread&) = delete;
  DecodingThread& operator=(const DecodingThread&) = delete;
  ~DecodingThread() {
    if (!thread_.joinable()) return;
    ring_.stop();
    thread_.join();
  }

  // Fails with the operating-system error when no thread can be started.
  Status start(ObjectDecoder& decoder) {
    try {
      thread_ = std::thread(run, std::ref(decoder), std::ref(ring_));
    } catch (const std::system_error& e) {
      return fail_os(e.code().value());
    }
    return {};
  }

 private:
  static void run(ObjectDecoder& decoder, ChunkRing& ring) {
    // An exception escaping a thread ends the process; a failed allocation
    // ends only this install.
    try {
      for (;;) {
        const auto buffer = ring.begin_fill();
        if (!buffer) return;
        const auto n = read_object_data(decoder, *buffer);
        if (!n) return ring.finish(fail(n.error()));
        if (*n == 0) return ring.finish({});
        ring.publish(*n);
      }
    } catch (const std::bad_alloc&) {
      ring.finish(fail_os(ENOMEM));
    }
  }

  ChunkRing& ring_;
  std::thread thread_;
};

// Decrypts, decompresses, measures, hashes and writes the whole object into
// `target_fd`. Owns the decoder, so the object file is closed and the key
// wiped when this returns, whatever the outcome, and always after the
// decoding thread has been joined.
Status fill_target(platform::UniqueFd object_fd, int target_fd, const FileEntry& entry, std::uint32_t window_log_cap,
                   const InstallWriteCallback& on_write) {
  auto reader = QV_TRY(read_object_header(std::move(object_fd), entry.key, entry.nonce));
  auto decoder = QV_TRY(open_object_decoder(std::move(reader)));
  QV_TRY(decoder.set_max_window_log(window_log_cap == 0 ? 0 : std::min(window_log_cap, pack::kMaxWindowLog)));

  ChunkRing ring;
  ContentHasher hasher = content_hasher_new(entry.algorithm);
  std::uint64_t total = 0;
  {
    DecodingThread decoding(ring);
    QV_TRY(decoding.start(decoder));
    for (;;) {
      const auto bytes = QV_TRY(ring.next());
      if (bytes.empty()) break;
      if (__builtin_add_overflow(total, static_cast<std::uint64_t>(bytes.size()), &total)) {
        return fail(std::string(pack::text::kOverflow));
      }
      // Refused before a byte of it is hashed or written, so the target never
      // holds more than the signed size.
      if (total > entry.bytes) return fail(std::string(pack::text::kSizeExceeded));
      content_hasher_update(hasher, bytes);
      QV_TRY(platform::write_all(target_fd, bytes.data(), bytes.size()));
      QV_TRY(on_write(total));
      ring.release();
    }
  }
  // The decoding thread is joined: the decoder is this thread's again.
  if (total != entry.bytes) return file_hash_mismatch(entry);
  if (content_hasher_finish(std::move(hasher)) != entry.digest) return file_hash_mismatch(entry);
  // The reader answers the end of data only after the final segment, so this
  // holds unless that rule is ever broken.
  if (!decoder.reader().final_seen()) return fail(std::string(pack::text::kMissingFinal));
  return {};
}

}  // namespace

Status check_object_name(std::string_view name) {
  const bool shape_ok = name.size() == kNamePrefix.size() + kNameHexDigits + kNameSuffix.size() &&
                        name.starts_with(kNamePrefix) && name.ends_with(kNameSuffix);
  if (shape_ok) {
    const auto digits = name.substr(kNamePrefix.size(), kNameHexDigits);
    if (std::all_of(digits.begin(), digits.end(), is_ascii_hex)) return {};
  }
  return fail(std::string(pack::text::kBadObjectName));
}

Status verify_object_file(const fs::path& object, const FileEntry& entry) {
  const auto info = QV_TRY(platform::stat_path(object));
  if (info.size != entry.object_bytes) return fail(std::string(pack::text::kObjectSizeMismatch));
  const auto digest = QV_TRY(hash_file(object, HashAlgorithm::Sha256));
  if (digest != entry.object_sha256) return fail(std::string(pack::text::kCiphertextHashMismatch));
  return {};
}

Status install_object(const fs::path& object, const fs::path& target, const FileEntry& entry,
                      std::uint32_t window_log_cap, const InstallWriteCallback& on_write,
                      const InstallObjectOptions& options) {
  QV_TRY(verify_object_file(object, entry));
  QV_TRY(check_write_target(target));
  QV_TRY(reject_reparse_points(target));
  const auto parent = QV_TRY(target_parent(target));
  QV_TRY(platform::make_directories(parent));

  // O_EXCL with O_NOFOLLOW: whatever already sits at the target, a file or a
  // link, makes the creation fail, so an existing file is never opened.
  auto target_fd = QV_TRY(platform::open_fd(target, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, options.mode & 07777));
  auto object_fd = QV_TRY(platform::open_sequential_read(object));
  QV_TRY(fill_target(std::move(object_fd), target_fd.get(), entry, window_log_cap, on_write));

  QV_TRY(platform::flush_fd(target_fd.get()));
  QV_TRY(platform::close_fd(target_fd.release()));
  // The file is new: its folder entry must reach the disk too, or a crash
  // after the install is recorded could lose the file.
  QV_TRY(platform::flush_directory(parent));
  return {};
}

}  // namespace qv
