// Running one function over a sequence of indices on several threads while
// the caller takes the results back strictly in the order it submitted them.
//
// The caller submits indices one at a time and takes each result back in
// submission order; it decides how many it keeps in flight, so memory is
// bounded by that window whatever the length of the sequence. Each thread
// owns one `Scratch` (say, a read buffer), made when the thread starts and
// handed to every call it makes. A pool of one thread runs the function on
// the caller's thread inside `submit`, which is exactly the single-threaded
// order of work.
#pragma once

#include <condition_variable>
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

namespace qv {

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

  // True when the oldest index not yet taken has its result.
  bool ready() {
    std::lock_guard lock(mutex_);
    return !jobs_.empty() && jobs_.front().result.has_value();
  }

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
