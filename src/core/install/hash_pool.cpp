#include "core/install/hash_pool.hpp"

#include <cerrno>
#include <new>
#include <system_error>
#include <utility>

namespace qv {

HashPool::HashPool(unsigned threads) : threads_(threads == 0 ? 1 : threads) {}

HashPool::~HashPool() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  work_.notify_all();
  for (auto& worker : workers_) worker.join();
}

void HashPool::start_threads() {
  started_ = true;
  if (threads_ < 2) return;
  try {
    workers_.reserve(threads_);
    for (unsigned i = 0; i < threads_; ++i) workers_.emplace_back(&HashPool::run, this);
  } catch (const std::system_error&) {
    // Fewer threads than asked for (none, at worst: then the caller's thread
    // hashes) only makes the check slower.
  }
}

Result<std::string> HashPool::hash(const Job& job) {
  // An exception escaping a thread would end the process; a failed
  // allocation ends only this check.
  try {
    return hash_file(job.path, job.algorithm);
  } catch (const std::bad_alloc&) {
    return fail_os(ENOMEM);
  }
}

void HashPool::submit(std::filesystem::path path, HashAlgorithm algorithm) {
  if (!started_) start_threads();
  ++pending_;
  if (workers_.empty()) {
    Job job{std::move(path), algorithm, std::nullopt};
    job.result = hash(job);
    std::lock_guard lock(mutex_);
    jobs_.push_back(std::move(job));
    ++started_jobs_;
    return;
  }
  {
    std::lock_guard lock(mutex_);
    jobs_.push_back(Job{std::move(path), algorithm, std::nullopt});
  }
  work_.notify_one();
}

bool HashPool::ready() {
  std::lock_guard lock(mutex_);
  return !jobs_.empty() && jobs_.front().result.has_value();
}

Result<std::string> HashPool::take() {
  std::unique_lock lock(mutex_);
  done_.wait(lock, [&] { return jobs_.front().result.has_value(); });
  Result<std::string> result = std::move(*jobs_.front().result);
  jobs_.pop_front();
  --started_jobs_;
  --pending_;
  return result;
}

void HashPool::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    work_.wait(lock, [&] { return stopping_ || started_jobs_ < jobs_.size(); });
    if (stopping_) return;
    Job& job = jobs_[started_jobs_++];
    lock.unlock();
    Result<std::string> result = hash(job);
    lock.lock();
    job.result = std::move(result);
    done_.notify_one();
  }
}

}  // namespace qv
