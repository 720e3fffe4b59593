#include "platform/message_loop.hpp"

#include <poll.h>

#include <cerrno>

namespace qv::platform {
namespace {

using Clock = std::chrono::steady_clock;

// Waits until `fd` is readable (or, for -1, simply) until `deadline`.
void wait_until(int fd, Clock::time_point deadline) {
  const auto left = deadline - Clock::now();
  if (left <= Clock::duration::zero()) return;
  // Rounded up: waking a little early would spin until the deadline.
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, fd >= 0 ? 1 : 0, static_cast<int>(ms)) < 0 && errno != EINTR) {
    // Nothing to wait on that poll accepts; the next round finds out why.
    return;
  }
}

}  // namespace

Status run_message_loop(Window& window, const std::function<void(const WindowEvent&)>& handler,
                        std::chrono::milliseconds period) {
  auto next_tick = Clock::now() + period;
  while (window.is_open()) {
    const auto now = Clock::now();
    if (now >= next_tick) {
      next_tick += period;
      if (next_tick <= now) next_tick = now + period;
      handler(Tick{});
      continue;
    }
    bool more = false;
    if (auto event = window.next_event(more)) {
      handler(*event);
      continue;
    }
    if (window.connection_lost()) return fail(kDisplayConnectionLost);
    if (more) continue;
    wait_until(window.event_fd(), next_tick);
  }
  if (window.connection_lost()) return fail(kDisplayConnectionLost);
  return {};
}

}  // namespace qv::platform
