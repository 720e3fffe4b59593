#include "platform/thread.hpp"

#include <pthread.h>

#include <limits.h>

#include <cerrno>

#include <memory>
#include <new>

namespace qv::platform {
namespace {

void* thread_entry(void* argument) {
  const std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(argument));
  (*body)();
  return nullptr;
}

class ThreadAttributes {
 public:
  ThreadAttributes() { ok_ = ::pthread_attr_init(&attr_) == 0; }
  ~ThreadAttributes() {
    if (ok_) ::pthread_attr_destroy(&attr_);
  }
  ThreadAttributes(const ThreadAttributes&) = delete;
  ThreadAttributes& operator=(const ThreadAttributes&) = delete;
  bool ok() const { return ok_; }
  pthread_attr_t* get() { return &attr_; }

 private:
  pthread_attr_t attr_{};
  bool ok_ = false;
};

}  // namespace

Status start_detached_thread(std::function<void()> body, std::size_t stack_bytes) {
  ThreadAttributes attributes;
  if (!attributes.ok()) return fail_os(ENOMEM);
  const std::size_t page = 4096;
  const auto smallest = static_cast<std::size_t>(PTHREAD_STACK_MIN);
  std::size_t stack = stack_bytes < smallest ? smallest : stack_bytes;
  stack = (stack + page - 1) / page * page;
  if (int rc = ::pthread_attr_setstacksize(attributes.get(), stack); rc != 0) return fail_os(rc);
  if (int rc = ::pthread_attr_setdetachstate(attributes.get(), PTHREAD_CREATE_DETACHED); rc != 0) return fail_os(rc);
  auto* owned = new (std::nothrow) std::function<void()>(std::move(body));
  if (!owned) return fail_os(ENOMEM);
  pthread_t thread{};
  if (int rc = ::pthread_create(&thread, attributes.get(), &thread_entry, owned); rc != 0) {
    delete owned;
    return fail_os(rc);
  }
  return {};
}

}  // namespace qv::platform
