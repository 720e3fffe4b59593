// Running one function over a sequence of indices on several threads while
// the caller takes the results back strictly in index order: OrderedPool for
// results of any type over a window the caller chooses, OrderedScan for
// yes-or-no answers over long runs of cheap indices.
//
// OrderedPool: the caller submits indices one at a time and takes each result back in
// submission order; it decides how many it keeps in flight, so memory is
// bounded by that window whatever the length of the sequence. Each thread
// owns one `Scratch` (say, a read buffer), made when the thread starts and
// handed to every call it makes. A pool of one thread runs the function on
// the caller's thread inside `submit`, which is exactly the single-threaded
// order of work.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <functional>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "platform/error.hpp"

namespace qv {

// Lowers `limit` to `index` unless it is lower already, whatever other
// threads store meanwhile: for "no index above this one is started".
inline void lower_limit(std::atomic<std::uint32_t>& limit, std::uint32_t index) {
  std::uint32_t seen = limit.load();
  while (index < seen && !limit.compare_exchange_weak(seen, index)) {
  }
}

template <class T, class Scratch>
class OrderedPool {
 public:
  using Work = std::function<T(std::uint32_t index, Scratch& scratch)>;

  // `work` must be safe to call from several threads at once and must not
  // throw (an exception escaping a pool thread ends the process). Up to
  // `threads` threads are started on the first submit, so a pool that is
  // never used costs nothing; when none can be started, the caller's thread
  // does the work instead.
  OrderedPool(unsigned threads, Work work)
      : threads_(threads == 0 ? 1 : threads), work_(std::move(work)) {}

  // Indices not yet started are dropped, those being worked on are finished,
  // and every thread is joined before this returns.
  ~OrderedPool() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    more_.notify_all();
    for (auto& worker : workers_) worker.join();
  }

  OrderedPool(const OrderedPool&) = delete;
  OrderedPool& operator=(const OrderedPool&) = delete;

  // Only the thread that owns the pool calls submit, pending, ready and take.
  void submit(std::uint32_t index) {
    if (!started_) start_threads();
    ++pending_;
    if (workers_.empty()) {
      Job job{index, work_(index, inline_scratch_)};
      std::lock_guard lock(mutex_);
      jobs_.push_back(std::move(job));
      ++handed_out_;
      return;
    }
    bool wake = false;
    {
      std::lock_guard lock(mutex_);
      jobs_.push_back(Job{index, std::nullopt});
      wake = idle_ > 0;
    }
    if (wake) more_.notify_one();
  }

  // Indices submitted and not yet taken.
  std::size_t pending() const { return pending_; }

  // The result for the oldest index not yet taken, waiting for it. Requires
  // pending() > 0.
  T take() {
    std::unique_lock lock(mutex_);
    waiting_ = true;
    done_.wait(lock, [&] { return jobs_.front().result.has_value(); });
    waiting_ = false;
    T result = std::move(*jobs_.front().result);
    jobs_.pop_front();
    --handed_out_;
    --pending_;
    return result;
  }

 private:
  struct Job {
    std::uint32_t index = 0;
    std::optional<T> result;
  };

  void start_threads() {
    started_ = true;
    if (threads_ < 2) return;
    try {
      workers_.reserve(threads_);
      for (unsigned i = 0; i < threads_; ++i) workers_.emplace_back(&OrderedPool::run, this);
    } catch (const std::system_error&) {
      // Fewer threads than asked for only makes the work slower.
    }
  }

  void run() {
    Scratch scratch;
    std::unique_lock lock(mutex_);
    for (;;) {
      ++idle_;
      more_.wait(lock, [&] { return stopping_ || handed_out_ < jobs_.size(); });
      --idle_;
      if (stopping_) return;
      // A deque keeps its elements in place when others are added or taken,
      // so the job may be worked on outside the lock.
      Job& job = jobs_[handed_out_++];
      lock.unlock();
      T result = work_(job.index, scratch);
      lock.lock();
      job.result = std::move(result);
      // Waking the owner costs a system call; only the oldest job can end
      // its wait.
      if (waiting_ && &job == &jobs_.front()) done_.notify_one();
    }
  }

  const unsigned threads_;
  const Work work_;
  Scratch inline_scratch_;
  bool started_ = false;
  std::size_t pending_ = 0;

  std::mutex mutex_;
  std::condition_variable more_;
  std::condition_variable done_;
  // Jobs not yet taken, oldest first; the first `handed_out_` of them have
  // been given to a thread (or done inline).
  std::deque<Job> jobs_;
  std::size_t handed_out_ = 0;
  unsigned idle_ = 0;     // threads waiting for work
  bool waiting_ = false;  // the owner waits in take()
  bool stopping_ = false;
  std::vector<std::thread> workers_;
};

// Answers one yes-or-no question for every index of [0, count) on several
// threads, while the owner takes the answers strictly in index order, as one
// thread answering them in turn would give them.
//
// Built for long runs of cheap questions (a check asks one per client file):
// threads claim short runs of consecutive indices from a shared counter and
// publish each answer in a byte of their own, so answering costs no lock and
// no wake-up per index; the owner sleeps only when the answer it needs is
// still being worked out and no index is left to work on itself (until then
// it answers the next unclaimed run on its own thread). Memory is one byte
// per index beside the threads' scratch. After a failed index no index past it
// is started; the indices being worked on are finished.
template <class Scratch>
class OrderedScan {
 public:
  using Work = std::function<Result<bool>(std::uint32_t index, Scratch& scratch)>;

  // `work` must be safe to call from several threads at once and must not
  // throw (an exception escaping a thread ends the process). Starts up to
  // `threads` - 1 threads beside the owner, fewer for a short sequence, none
  // when `threads` is 1 (then take() answers each index on the owner's thread
  // in turn). A thread that cannot be started leaves its share to the others.
  OrderedScan(unsigned threads, std::uint32_t count, Work work)
      : count_(count),
        run_(run_length(threads, count)),
        work_(std::move(work)),
        answers_(std::make_unique<std::atomic<std::uint8_t>[]>(count)) {
    const std::uint32_t runs = (count + run_ - 1) / run_;
    const unsigned helpers = std::min<std::uint32_t>(threads == 0 ? 0 : threads - 1, runs <= 1 ? 0 : runs - 1);
    try {
      workers_.reserve(helpers);
      for (unsigned i = 0; i < helpers; ++i) workers_.emplace_back(&OrderedScan::help, this);
    } catch (const std::system_error&) {
      // Fewer threads only make the scan slower.
    }
  }

  // Indices not yet started are dropped, those being worked on are finished,
  // and every thread is joined before this returns.
  ~OrderedScan() {
    stop_after(0);
    for (auto& worker : workers_) worker.join();
  }

  OrderedScan(const OrderedScan&) = delete;
  OrderedScan& operator=(const OrderedScan&) = delete;

  // The answer for the next index, 0 first, waiting for it or working on the
  // sequence meanwhile. Only the owner calls it, at most `count` times; after
  // an error it must not be called again.
  Result<bool> take() {
    const std::uint32_t index = taken_++;
    for (;;) {
      if (const auto answer = answers_[index].load(std::memory_order_acquire); answer != kPending) {
        return answer_of(index, answer);
      }
      if (work_on_next_run(owner_scratch_)) continue;
      // Everything is claimed: sleep until the thread that works on `index`
      // says it is done. It looks at `wanted_` after it publishes, and this
      // looks at the answer after it sets `wanted_`, so one of the two sees
      // the other.
      const std::uint32_t seen = wake_.load();
      wanted_.store(index);
      if (answers_[index].load() == kPending) wake_.wait(seen);
      wanted_.store(kNobody);
    }
  }

 private:
  static constexpr std::uint8_t kPending = 0, kNo = 1, kYes = 2, kFailed = 3;
  static constexpr std::uint32_t kNobody = 0xFFFFFFFFu;

  // Runs short enough that the owner, taking answers in order, seldom waits
  // for the tail of one thread's run, and long enough that claiming them
  // costs nothing beside the work; one index each for a short sequence.
  static std::uint32_t run_length(unsigned threads, std::uint32_t count) {
    const std::uint64_t share = count / (8ull * std::max(1u, threads));
    return static_cast<std::uint32_t>(std::clamp<std::uint64_t>(share, 1, 32));
  }

  Result<bool> answer_of(std::uint32_t index, std::uint8_t answer) {
    if (answer != kFailed) return answer == kYes;
    std::lock_guard lock(error_mutex_);
    // Every lower index answered without failing, so the lowest failure
    // recorded is this one.
    if (!first_error_ || first_error_->first != index) std::abort();
    return std::unexpected(std::move(first_error_->second));
  }

  // No index above `index` is started any more.
  void stop_after(std::uint32_t index) { lower_limit(limit_, index); }

  // Claims the next run of indices and answers them in order, publishing each
  // answer as soon as it has it; false when nothing is left to claim.
  bool work_on_next_run(Scratch& scratch) {
    const std::uint64_t claimed = next_.fetch_add(run_);
    if (claimed >= count_ || claimed > limit_.load(std::memory_order_relaxed)) return false;
    const auto first = static_cast<std::uint32_t>(claimed);
    const auto end = static_cast<std::uint32_t>(std::min<std::uint64_t>(count_, claimed + run_));
    for (std::uint32_t i = first; i < end && i <= limit_.load(std::memory_order_relaxed); ++i) {
      auto answer = work_(i, scratch);
      std::uint8_t published = kNo;
      if (!answer) {
        published = kFailed;
        std::lock_guard lock(error_mutex_);
        if (!first_error_ || i < first_error_->first) first_error_.emplace(i, std::move(answer).error());
        stop_after(i);
      } else if (*answer) {
        published = kYes;
      }
      answers_[i].store(published);
      if (wanted_.load() == i) {
        wake_.fetch_add(1);
        wake_.notify_one();
      }
    }
    return true;
  }

  void help() {
    Scratch scratch;
    while (work_on_next_run(scratch)) {
    }
  }

  const std::uint32_t count_;
  const std::uint32_t run_;
  const Work work_;
  std::unique_ptr<std::atomic<std::uint8_t>[]> answers_;
  std::uint32_t taken_ = 0;  // the owner's
  Scratch owner_scratch_;
  std::atomic<std::uint64_t> next_{0};          // the first index not yet claimed
  std::atomic<std::uint32_t> limit_{kNobody};   // no index above it is started
  std::atomic<std::uint32_t> wanted_{kNobody};  // the index the owner sleeps on
  std::atomic<std::uint32_t> wake_{0};
  std::mutex error_mutex_;
  std::optional<std::pair<std::uint32_t, Error>> first_error_;  // the lowest failed index
  std::vector<std::thread> workers_;
};

// A pool thread's read buffer for hashing, of the size hash_file reads in,
// made on first use: a quick check makes none.
class ReadBuffer {
 public:
  std::span<std::byte> get() {
    if (!bytes_) bytes_ = std::make_unique_for_overwrite<std::byte[]>(kBytes);
    return {bytes_.get(), kBytes};
  }

 private:
  static constexpr std::size_t kBytes = 128 * 1024;
  std::unique_ptr<std::byte[]> bytes_;
};

}  // namespace qv
