// Object names, stored-object verification and the install of one client file
// from its object.
#include "core/formats/pack.hpp"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "core/formats/pack_stages.hpp"
#include "core/foundations/fileops.hpp"
#include "core/foundations/hashing.hpp"
#include "core/foundations/paths.hpp"
#include "platform/durable.hpp"
#include "platform/fs.hpp"
#include "platform/sequential_read.hpp"

namespace qv {
namespace {

namespace fs = std::filesystem;
using pack_stages::StageRing;
using pack_stages::StageThread;

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

// Hands the decrypting stage the object's bytes from the reading stage's
// ring, in order, as many as each read asks for, holding the ring's oldest
// buffer until it is used up.
class RingInput {
 public:
  explicit RingInput(StageRing& ring) : ring_(ring) {}

  Result<std::size_t> read(std::span<std::byte> out) {
    if (rest_.empty()) {
      if (held_) ring_.release();
      held_ = false;
      rest_ = QV_TRY(ring_.next());
      if (rest_.empty()) return 0;
      held_ = true;
    }
    const std::size_t n = std::min(out.size(), rest_.size());
    std::memcpy(out.data(), rest_.data(), n);
    rest_ = rest_.subspan(n);
    return n;
  }

 private:
  StageRing& ring_;
  std::span<const std::byte> rest_;
  bool held_ = false;
};

// Hashes every chunk of a ring as its second reader, beside the thread that
// writes them. Dropping it stops the ring and joins the thread.
class ChunkHashing {
 public:
  ChunkHashing(StageRing& ring, ContentHasher& hasher) : ring_(ring), hasher_(hasher), thread_(ring) {}

  // Fails with the operating-system error when no thread can be started.
  Status start() { return thread_.start([this] { run(); }); }

  // Waits until every chunk the ring carried to its end has been hashed.
  void finish() { thread_.join(); }

 private:
  void run() {
    for (;;) {
      const auto bytes = ring_.next(kReader);
      if (!bytes || bytes->empty()) return;
      content_hasher_update(hasher_, *bytes);
      ring_.release(kReader);
    }
  }

  static constexpr unsigned kReader = 1;
  StageRing& ring_;
  ContentHasher& hasher_;
  pack_stages::RingThread thread_;
};

// Flushes the target on a thread of its own each time another
// kFlushRunBytes of it were written, while the install goes on. A disk with
// a write cache then takes the file in steps during the install instead of
// all at once at its final flush, which otherwise waits about as long again
// as the install took. Nothing counts by it: whether the file does is decided
// by the install's checks and its final flush, as before. A failed flush is
// kept and returned by finish(): the system reports a write-back error to a
// descriptor only once, so the final flush alone might no longer see it.
class RunningFlush {
 public:
  explicit RunningFlush(int fd) : fd_(fd) {}
  RunningFlush(const RunningFlush&) = delete;
  RunningFlush& operator=(const RunningFlush&) = delete;
  ~RunningFlush() { (void)finish(); }

  // Without a thread (none could be started) it does nothing: the final
  // flush does all the work, as without it.
  void start() {
    try {
      thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
    }
  }

  // `total` bytes of the target are written.
  void written(std::uint64_t total) {
    if (total - requested_ < pack::kFlushRunBytes || !thread_.joinable()) return;
    {
      std::lock_guard lock(mutex_);
      requested_ = total;
    }
    wake_.notify_one();
  }

  // Stops the thread once its flush under way is done; the first failure of
  // its flushes, if any.
  Status finish() {
    if (thread_.joinable()) {
      {
        std::lock_guard lock(mutex_);
        stop_ = true;
      }
      wake_.notify_one();
      thread_.join();
    }
    if (failure_) return std::unexpected(*failure_);
    return {};
  }

 private:
  void run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [&] { return stop_ || requested_ > flushed_; });
      if (stop_) return;
      const std::uint64_t target = requested_;
      lock.unlock();
      auto flushed = platform::flush_fd(fd_);
      lock.lock();
      flushed_ = target;
      if (!flushed && !failure_) failure_ = std::move(flushed).error();
    }
  }

  const int fd_;
  std::uint64_t requested_ = 0;  // written by the installing thread only
  std::uint64_t flushed_ = 0;
  bool stop_ = false;
  std::optional<Error> failure_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::thread thread_;
};

// Whether an install runs on a pipeline of threads: an install alone does so
// for any object worth it, one among installs running at once only for a
// large object, and only while one of their shared pipelines is free (given
// back when this is dropped).
class SharedPipeline {
 public:
  SharedPipeline(InstallPipelines* pipelines, std::uint64_t object_bytes) {
    if (pipelines == nullptr) {
      taken_ = object_bytes >= pack::kThreadedInstallObjectBytes;
    } else if (object_bytes >= pack::kSharedPipelineObjectBytes && pipelines->try_take()) {
      shared_ = pipelines;
      taken_ = true;
    }
  }
  SharedPipeline(const SharedPipeline&) = delete;
  SharedPipeline& operator=(const SharedPipeline&) = delete;
  ~SharedPipeline() {
    if (shared_ != nullptr) shared_->give_back();
  }
  bool taken() const { return taken_; }

 private:
  InstallPipelines* shared_ = nullptr;
  bool taken_ = false;
};

// Fills a buffer with the object's next bytes, hashing them on the way; at the
// end of the file the hash is finished.
using ObjectRead = std::function<Result<std::size_t>(std::span<std::byte>)>;
// Takes the next output chunk: checks, writes and reports it.
using TakeChunk = std::function<Status(std::span<const std::byte>)>;

// A small object on the calling thread alone: starting the threads would cost
// more than the work they share.
Status fill_on_this_thread(ObjectDecoder& decoder, const ObjectRead& read_object, ContentHasher& hasher,
                           const TakeChunk& take_chunk) {
  decoder.reader().set_input_source(read_object);
  pack::KeptBuffer chunk(pack::kInstallChunkBytes);
  for (;;) {
    const std::size_t n = QV_TRY(read_object_data(decoder, chunk.get()));
    if (n == 0) return {};
    const std::span<const std::byte> bytes = chunk.get().first(n);
    QV_TRY(take_chunk(bytes));
    content_hasher_update(hasher, bytes);
  }
}

// A larger object as a pipeline of five threads: one reads the object file
// (hashing it), one opens its segments into the decoder's input buffers, one
// decompresses them into output chunks, one hashes the chunks, and the
// calling thread takes each chunk in order. Every thread is joined before
// this returns, on every path.
Status fill_on_threads(ObjectDecoder& decoder, const ObjectRead& read_object, ContentHasher& hasher,
                       const TakeChunk& take_chunk) {
  StageRing raw(pack::kObjectReadBytes);
  StageRing plaintext(pack::kDecoderInputBytes);
  StageRing chunks(pack::kInstallChunkBytes, 2);  // read by this thread and the content hasher
  // Declared in this order so that each thread is stopped and joined before
  // the one it waits on.
  StageThread reading(raw);
  StageThread decrypting(plaintext);
  StageThread decompressing(chunks);
  ChunkHashing hashing(chunks, hasher);
  SegmentedDecryptReader& segments = decoder.reader();
  RingInput object_bytes(raw);
  segments.set_input_source([&object_bytes](std::span<std::byte> out) { return object_bytes.read(out); });
  decoder.set_input_source([&plaintext](std::span<std::byte> out) -> Result<std::size_t> {
    const auto input = QV_TRY(plaintext.next());
    if (input.empty()) return 0;
    std::memcpy(out.data(), input.data(), input.size());
    plaintext.release();
    return input.size();
  });
  QV_TRY(reading.start(read_object));
  QV_TRY(decrypting.start([&segments](std::span<std::byte> out) { return segments.read(out); }));
  QV_TRY(decompressing.start([&decoder](std::span<std::byte> out) { return read_object_data(decoder, out); }));
  QV_TRY(hashing.start());
  for (;;) {
    const auto bytes = QV_TRY(chunks.next());
    if (bytes.empty()) break;
    QV_TRY(take_chunk(bytes));
    chunks.release();
  }
  hashing.finish();
  return {};
}

// Whether the install hashes the object as it reads it. An object the caller
// verified in this transaction, under the lock it still holds, is hashed
// again only when the content digest could be matched by other content:
// with a cryptographic digest (and every segment's tag under the signed key),
// whatever the install accepts is the signed content, whatever bytes the
// object holds by now; with a non-cryptographic one, the object's SHA-256 is
// what ties the installed bytes to the signature.
bool needs_object_hash(const FileEntry& entry, const InstallObjectOptions& options) {
  if (!options.object_verified) return true;
  return entry.algorithm != HashAlgorithm::Sha256 && entry.algorithm != HashAlgorithm::Blake3;
}

// Reads, decrypts, decompresses, measures, hashes and writes the whole object
// into `target_fd`, hashing the object itself with SHA-256 during that read
// (the ciphertext check of verify_object_file, made during the read the
// install needs anyway): on the calling thread for a small object, on a
// pipeline of threads otherwise. Either way each chunk is the output of one
// decoding call into a 1 MiB buffer, as the single-threaded chain makes it,
// and chunks are checked, written and reported on the calling thread in
// order, so the totals and the order of errors are the same.
// `ciphertext_digest` receives the SHA-256 text of the whole object once its
// read has met the end of the file, and stays empty when it never got there.
//
// Owns the decoder, so the object file is closed and the key wiped when this
// returns, whatever the outcome, and always after every thread is joined.
Status fill_target(platform::UniqueFd object_fd, int target_fd, const FileEntry& entry, std::uint32_t window_log_cap,
                   const InstallWriteCallback& on_write, const InstallObjectOptions& options,
                   std::optional<std::string>& ciphertext_digest) {
  auto reader = QV_TRY(read_object_header(std::move(object_fd), entry.key, entry.nonce));
  auto decoder = QV_TRY(open_object_decoder(std::move(reader)));
  QV_TRY(decoder.set_max_window_log(window_log_cap == 0 ? 0 : std::min(window_log_cap, pack::kMaxWindowLog)));

  // The header that read_object_header has just matched is the magic and the
  // entry's nonce prefix, byte for byte.
  const bool hash_object = needs_object_hash(entry, options);
  ContentHasher ciphertext = content_hasher_new(hash_object ? HashAlgorithm::Sha256 : HashAlgorithm::Read);
  content_hasher_update(ciphertext, pack::kMagic);
  content_hasher_update(ciphertext, std::as_bytes(std::span(entry.nonce)));
  const int file = decoder.reader().file_descriptor();
  const ObjectRead read_and_hash = [&](std::span<std::byte> out) -> Result<std::size_t> {
    const std::size_t n = QV_TRY(platform::read_some_retrying(file, out));
    if (!hash_object) return n;
    if (n == 0) {
      ciphertext_digest = content_hasher_finish(std::move(ciphertext));
    } else {
      content_hasher_update(ciphertext, out.first(n));
    }
    return n;
  };

  std::uint64_t total = 0;
  std::uint64_t written_back = 0;  // the bytes the kernel was asked to start writing
  std::optional<RunningFlush> running_flush;  // for a large object, on a pipeline
  const TakeChunk take_chunk = [&](std::span<const std::byte> bytes) -> Status {
    if (__builtin_add_overflow(total, static_cast<std::uint64_t>(bytes.size()), &total)) {
      return fail(std::string(pack::text::kOverflow));
    }
    // Refused before a byte of it is written, so the target never holds more
    // than the signed size.
    if (total > entry.bytes) return fail(std::string(pack::text::kSizeExceeded));
    QV_TRY(platform::write_all(target_fd, bytes.data(), bytes.size()));
    if (total - written_back >= pack::kWritebackRunBytes) {
      platform::start_writeback(target_fd, written_back, total - written_back);
      written_back = total;
    }
    if (running_flush) running_flush->written(total);
    return on_write(total);
  };
  ContentHasher hasher = content_hasher_new(entry.algorithm);
  const SharedPipeline pipeline(options.pipelines, entry.object_bytes);
  if (pipeline.taken()) {
    running_flush.emplace(target_fd);
    running_flush->start();
    QV_TRY(fill_on_threads(decoder, read_and_hash, hasher, take_chunk));
    QV_TRY(running_flush->finish());
  } else {
    QV_TRY(fill_on_this_thread(decoder, read_and_hash, hasher, take_chunk));
  }
  // Every thread is joined: the decoder and its reader are this thread's
  // again.
  if (total != entry.bytes) return file_hash_mismatch(entry);
  if (content_hasher_finish(std::move(hasher)) != entry.digest) return file_hash_mismatch(entry);
  // The reader answers the end of data only after the final segment, so this
  // holds unless that rule is ever broken.
  if (!decoder.reader().final_seen()) return fail(std::string(pack::text::kMissingFinal));
  // What the writes left for the kernel to write in its own time goes to the
  // disk now, while the caller goes on, so that a flush of many files later
  // finds their bytes written already.
  if (total > written_back) platform::start_writeback(target_fd, written_back, total - written_back);
  return {};
}

// The object's size against the signed one, first, so that a wrong one
// costs nothing else.
Status check_object_size(const fs::path& object, const FileEntry& entry) {
  const auto info = QV_TRY(platform::stat_path(object));
  if (info.size != entry.object_bytes) return fail(std::string(pack::text::kObjectSizeMismatch));
  return {};
}

Status check_object_digest(const FileEntry& entry, const std::string& digest) {
  if (digest != entry.object_sha256) return fail(std::string(pack::text::kCiphertextHashMismatch));
  return {};
}

// The outcome of an install whose object was hashed on the way, as if the
// object had been verified before anything else: a wrong SHA-256 outranks
// whatever the install met. An install that ended before the whole object
// was read is left to install_object, which hashes the object then.
Status check_ciphertext(const FileEntry& entry, const std::optional<std::string>& digest, Status installed) {
  if (!digest) {
    // A stream that ended well has read the object to its end.
    if (installed) return fail(std::string(pack::text::kMissingFinal));
    return installed;
  }
  QV_TRY(check_object_digest(entry, *digest));
  return installed;
}

Status create_and_fill(const fs::path& object, const fs::path& target, const FileEntry& entry,
                       std::uint32_t window_log_cap, const InstallWriteCallback& on_write,
                       const InstallObjectOptions& options, std::optional<std::string>& ciphertext_digest) {
  QV_TRY(check_write_target(target));
  QV_TRY(reject_reparse_points(target));
  const auto parent = QV_TRY(target_parent(target));
  QV_TRY(platform::make_directories(parent));

  // Whatever already sits at the target, a file or a link, makes the creation
  // fail, so an existing file is never opened.
  auto target_fd = QV_TRY(platform::create_new_file(target, options.mode));
  auto object_fd = QV_TRY(platform::open_sequential_read(object));
  Status filled = fill_target(std::move(object_fd), target_fd.get(), entry, window_log_cap, on_write, options,
                              ciphertext_digest);
  if (needs_object_hash(entry, options)) filled = check_ciphertext(entry, ciphertext_digest, std::move(filled));
  QV_TRY(std::move(filled));

  // Nothing is flushed, and nothing counts, before the object proved to be
  // the signed one.
  if (!options.flush) return platform::close_fd(target_fd.release());
  QV_TRY(platform::flush_fd(target_fd.get()));
  QV_TRY(platform::close_fd(target_fd.release()));
  // The file is new: its folder entry must reach the disk too, or a crash
  // after the install is recorded could lose the file.
  QV_TRY(platform::flush_directory(parent));
  return {};
}

}  // namespace

namespace pack {

KeptBuffer& KeptBuffer::operator=(KeptBuffer&& other) noexcept {
  if (this != &other) {
    give_back();
    bytes_ = other.bytes_;
    buffer_ = std::move(other.buffer_);
  }
  return *this;
}

std::span<std::byte> KeptBuffer::get() {
  if (!buffer_) buffer_ = pack_stages::SlotPool::instance().take(bytes_);
  return {buffer_.get(), bytes_};
}

void KeptBuffer::give_back() {
  if (buffer_) pack_stages::SlotPool::instance().give_back(bytes_, std::move(buffer_));
}

}  // namespace pack

void release_kept_install_memory() {
  pack_stages::SlotPool::instance().release_all();
  pack_stages::release_kept_contexts();
}

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
  QV_TRY(check_object_size(object, entry));
  return check_object_digest(entry, QV_TRY(hash_file(object, HashAlgorithm::Sha256)));
}

Status verify_object_file(const fs::path& object, const FileEntry& entry, std::span<std::byte> buffer) {
  QV_TRY(check_object_size(object, entry));
  return check_object_digest(entry, QV_TRY(hash_file(object, HashAlgorithm::Sha256, buffer)));
}

Status install_object(const fs::path& object, const fs::path& target, const FileEntry& entry,
                      std::uint32_t window_log_cap, const InstallWriteCallback& on_write,
                      const InstallObjectOptions& options) {
  QV_TRY(check_object_size(object, entry));
  std::optional<std::string> ciphertext_digest;
  auto installed = create_and_fill(object, target, entry, window_log_cap, on_write, options, ciphertext_digest);
  // A step that failed before the object was read whole is outranked by a
  // wrong object too, as the check made first would have found it.
  if (!installed && !ciphertext_digest && needs_object_hash(entry, options)) QV_TRY(verify_object_file(object, entry));
  return installed;
}

}  // namespace qv
