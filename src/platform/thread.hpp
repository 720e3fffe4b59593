// Threads that run on their own: started, never joined.
#pragma once

#include <cstddef>
#include <functional>

#include "platform/error.hpp"

namespace qv::platform {

// Starts `body` on a new detached thread whose stack reserves `stack_bytes`
// (rounded up to what the system accepts). `body` must not throw: nothing
// catches for it. Fails with the operating-system error when the thread
// cannot be created; `body` is then not run. Any thread.
Status start_detached_thread(std::function<void()> body, std::size_t stack_bytes);

}  // namespace qv::platform
