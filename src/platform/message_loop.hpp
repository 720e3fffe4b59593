// The window thread's loop: the window's events and a steady timer, until the
// window is destroyed.
#pragma once

#include <chrono>
#include <functional>

#include "platform/error.hpp"
#include "platform/window.hpp"
#include "platform/window_events.hpp"

namespace qv::platform {

inline constexpr std::chrono::milliseconds kTimerPeriod{100};

// Hands every event of `window` to `handler`, and a Tick once per `period`
// whatever else arrives: the timer is checked between any two events, so a
// flood of input never delays it. A tick that falls due while the handler is
// busy comes as soon as the handler returns; ticks missed while it was busy
// longer than a period are not made up (one comes, then the rhythm resumes).
//
// Returns when the window is no longer open: success when it was destroyed
// (by the handler, or by another client), the error kDisplayConnectionLost
// when the display went away. A headless window gets only ticks. Window
// thread only; `handler` may destroy the window.
Status run_message_loop(Window& window, const std::function<void(const WindowEvent&)>& handler,
                        std::chrono::milliseconds period = kTimerPeriod);

}  // namespace qv::platform
