// The window's behaviour: its reaction to each event of the window (pointer,
// keys, focus, close requests, a change of the display's scale), the 100 ms
// timer tick that starts a deferred start-up job and drains the worker
// channel, and what each worker message does to the window state. Window
// thread only.
#pragma once

#include <string_view>

#include "core/foundations/config.hpp"
#include "desktop/window_context.hpp"
#include "desktop/worker_message.hpp"
#include "platform/display_info.hpp"
#include "platform/window_events.hpp"

namespace qv {

inline constexpr std::string_view kCompleteStatus = "เสร็จสมบูรณ์";
inline constexpr std::string_view kCompleteRetainedStatus = "เสร็จสมบูรณ์ — เก็บไฟล์ทดสอบไว้แล้ว";
inline constexpr std::string_view kCompleteCleanupStatus = "เสร็จสมบูรณ์ — มีไฟล์ชั่วคราวที่รอลบครั้งหน้า";
inline constexpr std::string_view kCompleteReadyStatus = "เสร็จสมบูรณ์ — ไฟล์เกมครบแล้ว";
inline constexpr std::string_view kGameClosedStatus = "ปิดเกมเรียบร้อย";
// Above this base y the window is dragged by any point off the targets; the
// progress bar and the text lines below it are no drag area.
inline constexpr double kCaptionBottom = 605.0;
// The deferred start-up starts at the latest once more whole seconds than
// this have passed on the stage clock.
inline constexpr long kDeferredStartLimitSeconds = 35;

// Reacts to one event of the window. May destroy the window.
void window_proc(WindowContext& context, const platform::WindowEvent& event);

// One tick of the timer: the deferred start-up (while `check_pending` and no
// job runs), the drain of the worker channel, and the refresh of the title
// and the frame when something arrived or the bar sweeps.
void timer_tick(WindowContext& context);

// Applies one worker message to the window state. Returns false when the
// message closed the window (an updater was started): the tick then ends
// without reading further messages.
bool handle_worker_message(WindowContext& context, WorkerMessage message);

// Whether the self-update that started this process has settled: its journal
// is gone, or reads phase "complete". An id that names no transaction, or a
// journal that cannot be read or decoded, cannot tell: false.
bool self_update_settled(const ClientConfig& config, std::string_view health_id);

// The display's scale changed to `dpi`: a new scale fitted to the monitor the
// window is on (from `display`), the background rebuilt, the window moved
// inside the work area and resized, and the frame drawn anew.
void change_scale(WindowContext& context, double dpi, const platform::DisplayInfo& display);

// The title's percent suffix for a progress with a total, else empty.
std::string title_suffix(const AppState& state);

}  // namespace qv
