// Hashing client files on several threads while the caller takes the digests
// back strictly in the order it asked for them.
//
// The caller submits files one at a time and takes each digest back in
// submission order; it decides how many it keeps in flight, so memory is
// bounded by that window and by one read buffer per thread, whatever the
// number of files. A pool of one thread hashes on the caller's thread inside
// `submit`, which is exactly the single-threaded order of work.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/foundations/error.hpp"
#include "core/foundations/hashing.hpp"

namespace qv {

class HashPool {
 public:
  // `threads` hashing threads (at least one). They are started on the first
  // submit, so a pool that is never used costs nothing; when no thread can be
  // started at all, the caller's thread hashes instead.
  explicit HashPool(unsigned threads);
  // Files not yet started are dropped, the ones being hashed are finished, and
  // every thread is joined before this returns.
  ~HashPool();
  HashPool(const HashPool&) = delete;
  HashPool& operator=(const HashPool&) = delete;

  // Queues `path` for `hash_file` with `algorithm`. Only the thread that owns
  // the pool calls submit, ready and take.
  void submit(std::filesystem::path path, HashAlgorithm algorithm);
  // Files submitted and not yet taken.
  std::size_t pending() const { return pending_; }
  // True when the oldest file not yet taken has its result.
  bool ready();
  // The result of the oldest file not yet taken (waiting for it): its digest
  // text, or the error `hash_file` returned. Requires pending() > 0.
  Result<std::string> take();

 private:
  struct Job {
    std::filesystem::path path;
    HashAlgorithm algorithm = HashAlgorithm::Read;
    std::optional<Result<std::string>> result;
  };

  void start_threads();
  void run();
  static Result<std::string> hash(const Job& job);

  const unsigned threads_;
  bool started_ = false;
  std::size_t pending_ = 0;

  std::mutex mutex_;
  std::condition_variable work_;
  std::condition_variable done_;
  // Jobs not yet taken, oldest first; the first `started_jobs_` of them have
  // been handed to a thread. A deque keeps the elements where they are when
  // others are added or taken, so a thread may work on one outside the lock.
  std::deque<Job> jobs_;
  std::size_t started_jobs_ = 0;
  bool stopping_ = false;
  std::vector<std::thread> workers_;
};

}  // namespace qv
