// The stages of an object install: threads that hand their output on in
// order through fixed rings of buffers, and the pool that keeps those buffers
// from one install to the next. Internal to the pack module.
#pragma once

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <system_error>
#include <thread>
#include <vector>

#include "core/formats/pack.hpp"
#include "platform/error.hpp"

namespace qv::pack_stages {

// The buffers of finished installs (ring slots, output chunks, decoder
// inputs, segments), kept for the next one. An install of many files would
// otherwise map fresh memory for every file and fault in every page of it
// again, which costs more than decoding the bytes that pass through, and
// installs on several threads would each leave their own in their thread's
// allocator. Holds at most kInstallChunkSlots buffers of each size (19 MiB).
class SlotPool {
 public:
  // Never destroyed: an install still running while the process exits may
  // give a buffer back at any time.
  static SlotPool& instance() {
    static SlotPool* const pool = new SlotPool;
    return *pool;
  }

  std::unique_ptr<std::byte[]> take(std::size_t bytes) {
    if (auto* kept_list = kept_for(bytes)) {
      std::lock_guard lock(mutex_);
      auto& kept = *kept_list;
      if (!kept.empty()) {
        auto buffer = std::move(kept.back());
        kept.pop_back();
        return buffer;
      }
    }
    return std::make_unique_for_overwrite<std::byte[]>(bytes);
  }

  // Frees every buffer kept; those in use come back later as usual.
  void release_all() {
    std::lock_guard lock(mutex_);
    for (auto* kept : {&chunks_, &inputs_, &reads_, &segments_}) kept->clear();
  }

  void give_back(std::size_t bytes, std::unique_ptr<std::byte[]> buffer) {
    auto* kept = kept_for(bytes);
    if (kept == nullptr || !buffer) return;
    std::lock_guard lock(mutex_);
    if (kept->size() < pack::kInstallChunkSlots) kept->push_back(std::move(buffer));
  }

 private:
  // Only these sizes are kept; a buffer of any other size is neither handed
  // out nor kept, so nobody gets a buffer smaller than it asked for.
  std::vector<std::unique_ptr<std::byte[]>>* kept_for(std::size_t bytes) {
    if (bytes == pack::kInstallChunkBytes) return &chunks_;
    if (bytes == pack::kDecoderInputBytes) return &inputs_;
    if (bytes == pack::kObjectReadBytes) return &reads_;
    if (bytes == pack::kMaxSegmentLength) return &segments_;
    return nullptr;
  }

  std::mutex mutex_;
  std::vector<std::unique_ptr<std::byte[]>> chunks_;
  std::vector<std::unique_ptr<std::byte[]>> inputs_;
  std::vector<std::unique_ptr<std::byte[]>> reads_;
  std::vector<std::unique_ptr<std::byte[]>> segments_;
};

// Frees the decompression contexts that finished installs kept for the next
// one (pack_decoder.cpp).
void release_kept_contexts();

// Hands the output one stage of an install produces to the next stages, in
// order, through a fixed ring of equal buffers: the producer fills free slots
// while the readers work through the filled ones, so a ring never holds more
// than kInstallChunkSlots buffers, whatever the file size. A ring has one
// reader, or two that each see every buffer (the writer of the target and
// the hasher of its content); a slot is free again once every reader is done
// with it.
//
// A slot belongs to the producer from begin_fill() until publish(), and to
// its readers from next() until each one's release(); the mutex orders each
// hand-over, so the bytes of a slot are never written while a reader looks at
// them. The producer ends the stream with finish() (success at the end of its
// input, or its error, which a reader meets only after every buffer published
// before it); the first reader gives up with stop(), after which begin_fill()
// refuses and the other reader's next() answers the end.
class StageRing {
 public:
  explicit StageRing(std::size_t buffer_bytes, unsigned readers = 1)
      : buffer_bytes_(buffer_bytes), readers_(std::clamp(readers, 1u, kMaxReaders)) {}
  StageRing(const StageRing&) = delete;
  StageRing& operator=(const StageRing&) = delete;
  ~StageRing() {
    for (auto& slot : slots_) {
      if (slot.buffer) SlotPool::instance().give_back(buffer_bytes_, std::move(slot.buffer));
    }
  }

  // Producer: the buffer to fill next, waiting for the readers to free one;
  // nothing once the ring has stopped. Buffers come from the pool of earlier
  // installs or are allocated when first needed, and are not cleared: a ring
  // holds only the slots its producer reached, so a small file needs little
  // more than its own bytes.
  std::optional<std::span<std::byte>> begin_fill() {
    std::unique_lock lock(mutex_);
    slot_freed_.wait(lock, [this] { return stopped_ || filled_ < pack::kInstallChunkSlots; });
    if (stopped_) return std::nullopt;
    auto& buffer = slots_[write_index_].buffer;
    lock.unlock();
    if (!buffer) buffer = SlotPool::instance().take(buffer_bytes_);
    return std::span(buffer.get(), buffer_bytes_);
  }

  // Producer: the buffer from begin_fill() now holds `size` bytes (not 0).
  void publish(std::size_t size) {
    // A reader that waits is woken once a few buffers are ready, not for
    // every one: each wake-up is a system call on the producer's thread,
    // which is the slowest stage. The ring never fills up without that.
    bool wake = false;
    {
      std::lock_guard lock(mutex_);
      slots_[write_index_].size = size;
      write_index_ = (write_index_ + 1) % pack::kInstallChunkSlots;
      ++filled_;
      for (unsigned r = 0; r < readers_; ++r) wake = ++unread_[r] == kWakeAfter || wake;
    }
    if (wake) wake_readers();
  }

  // Producer: nothing follows; `end` is success at the end of the input, or
  // the error that stopped the producer.
  void finish(Status end) {
    {
      std::lock_guard lock(mutex_);
      end_ = std::move(end);
      ended_ = true;
    }
    wake_readers();
  }

  // Reader `reader`: the next buffer in order, waiting for the producer; an
  // empty span at the end (or, for the second reader, once the ring
  // stopped), or the producer's error once every buffer before it was taken.
  Result<std::span<const std::byte>> next(unsigned reader = 0) {
    std::unique_lock lock(mutex_);
    filled_slot_.wait(lock, [&] { return ended_ || stopped_ || unread_[reader] > 0; });
    if (unread_[reader] == 0 || (stopped_ && reader != 0)) {
      if (!stopped_ && !end_) return fail(end_.error());
      return std::span<const std::byte>();
    }
    const auto& slot = slots_[read_index_[reader]];
    return std::span<const std::byte>(slot.buffer.get(), slot.size);
  }

  // Reader `reader`: done with the buffer next() returned.
  void release(unsigned reader = 0) {
    bool freed = false;
    {
      std::lock_guard lock(mutex_);
      read_index_[reader] = (read_index_[reader] + 1) % pack::kInstallChunkSlots;
      --unread_[reader];
      // The slot is free once the reader furthest behind is done with it.
      std::size_t behind = 0;
      for (unsigned r = 0; r < readers_; ++r) behind = std::max(behind, unread_[r]);
      freed = behind < filled_;
      filled_ = behind;
    }
    if (freed) slot_freed_.notify_one();
  }

  // First reader: no further buffer will be taken; the producer stops at its
  // next begin_fill(), and the other reader at its next next().
  void stop() {
    {
      std::lock_guard lock(mutex_);
      stopped_ = true;
    }
    slot_freed_.notify_one();
    filled_slot_.notify_all();
  }

 private:
  static constexpr unsigned kMaxReaders = 2;
  static constexpr std::size_t kWakeAfter = 4;
  static_assert(kWakeAfter <= pack::kInstallChunkSlots);

  struct Slot {
    std::unique_ptr<std::byte[]> buffer;
    std::size_t size = 0;
  };

  void wake_readers() {
    if (readers_ == 1) {
      filled_slot_.notify_one();
    } else {
      filled_slot_.notify_all();
    }
  }

  const std::size_t buffer_bytes_;
  const unsigned readers_;
  std::mutex mutex_;
  std::condition_variable filled_slot_;
  std::condition_variable slot_freed_;
  std::array<Slot, pack::kInstallChunkSlots> slots_;
  std::array<std::size_t, kMaxReaders> read_index_{};
  std::array<std::size_t, kMaxReaders> unread_{};  // published, not yet released by that reader
  std::size_t write_index_ = 0;
  std::size_t filled_ = 0;  // slots some reader still holds or has to read
  bool ended_ = false;
  Status end_;
  bool stopped_ = false;
};

// Fills a buffer with the next bytes of a stage's output: the byte count, 0
// at the end, or the stage's error.
using Produce = std::function<Result<std::size_t>(std::span<std::byte>)>;

// A thread that works on a ring, as its producer or as one of its readers.
// Dropping it stops the ring and joins the thread, so no early return can
// leave the thread running or outliving what it borrows.
class RingThread {
 public:
  explicit RingThread(StageRing& ring) : ring_(ring) {}
  RingThread(const RingThread&) = delete;
  RingThread& operator=(const RingThread&) = delete;
  ~RingThread() {
    if (!thread_.joinable()) return;
    ring_.stop();
    thread_.join();
  }

  // Fails with the operating-system error when no thread can be started.
  Status start(std::function<void()> body) {
    try {
      thread_ = std::thread(std::move(body));
    } catch (const std::system_error& e) {
      return fail_os(e.code().value());
    }
    return {};
  }

  // Waits until the thread has ended by itself.
  void join() { thread_.join(); }

 private:
  StageRing& ring_;
  std::thread thread_;
};

// Runs one stage on its own thread, feeding its ring until the stage ends,
// fails, or the ring's consumer stops.
class StageThread {
 public:
  explicit StageThread(StageRing& ring) : ring_(ring), thread_(ring) {}

  // Fails with the operating-system error when no thread can be started.
  Status start(Produce produce) {
    return thread_.start([produce = std::move(produce), &ring = ring_] { run(produce, ring); });
  }

 private:
  static void run(const Produce& produce, StageRing& ring) {
    // An exception escaping a thread ends the process; a failed allocation
    // ends only this install.
    try {
      for (;;) {
        const auto buffer = ring.begin_fill();
        if (!buffer) return;
        const auto n = produce(*buffer);
        if (!n) return ring.finish(fail(n.error()));
        if (*n == 0) return ring.finish({});
        ring.publish(*n);
      }
    } catch (const std::bad_alloc&) {
      ring.finish(fail(Error::out_of_memory()));
    }
  }

  StageRing& ring_;
  RingThread thread_;
};

}  // namespace qv::pack_stages
