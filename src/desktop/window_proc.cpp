#include "desktop/window_proc.hpp"

#include <chrono>
#include <variant>

#include <fmt/format.h>

#include "core/foundations/fileops.hpp"
#include "core/foundations/lock.hpp"
#include "core/install/check.hpp"
#include "core/self_update/handoff.hpp"
#include "core/self_update/health.hpp"
#include "core/self_update/update_journal.hpp"
#include "desktop/actions.hpp"
#include "desktop/design_space.hpp"
#include "desktop/error_report.hpp"
#include "desktop/frame.hpp"
#include "desktop/jobs.hpp"
#include "desktop/text.hpp"
#include "desktop/theme.hpp"
#include "desktop/window_geometry.hpp"
#include "platform/fs.hpp"
#include "platform/process_info.hpp"

namespace qv {
namespace {

using Clock = std::chrono::steady_clock;
namespace ev = platform;

constexpr std::string_view kWorkerContext = "launcher worker";
constexpr std::string_view kStartUpdaterContext = "start updater";
constexpr double kMebibyte = 1024.0 * 1024.0;

constexpr std::int32_t kTabTarget = static_cast<std::int32_t>(kTargetCount);

Progress finished_progress(Stage stage) { return Progress{stage, 1, 1, ProgressUnit::Steps, ""}; }

std::int32_t target_at(const AppState& state, std::int32_t x, std::int32_t y) {
  const BasePoint base = to_base_point(x, y, state.scale);
  return hit_test(base.x, base.y).value_or(-1);
}

void repaint(WindowContext& context) { paint(context.window, context.state); }

void repaint_if_open(WindowContext& context) {
  if (context.window.is_open()) repaint(context);
}

void on_line(AppState& state, std::string text) {
  if (auto p = parse_progress_line(text)) {
    if (!state.progress || state.progress->stage != p->stage || p->completed == 0) {
      state.stage_started = Clock::now();
    }
    state.status = fmt::format("{} • {}", stage_label(p->stage), p->detail);
    state.progress = std::move(*p);
    return;
  }
  if (!state.progress) state.status = std::move(text);
}

void on_check_finished(AppState& state, WorkerMessage::CheckFinished finished) {
  const PreparedCheck& check = finished.check;
  state.status = fmt::format("Release {} • {} files • {:.1f} MiB", check.manifest.release, check.plan.download.size(),
                             static_cast<double>(check.plan.download_bytes) / kMebibyte);
  state.prepared_check = std::move(finished.check);
  state.busy = false;
  state.ready = finished.ready;
  if (finished.ready) {
    state.status = std::string(kCompleteReadyStatus);
    state.progress = finished_progress(Stage::Done);
  }
}

std::string_view completion_status(const AppState& state) {
  if (!state.config) return kCompleteStatus;
  if (state.config->retain_patch_artifacts) return kCompleteRetainedStatus;
  const auto pending = has_cleanup_markers(state.config->root);
  if (pending && *pending) return kCompleteCleanupStatus;
  return kCompleteStatus;
}

void on_apply_finished(AppState& state) {
  state.busy = false;
  state.progress = finished_progress(Stage::Done);
  state.status = std::string(completion_status(state));
  state.ready = true;
  if (state.prepared_check) {
    // The check stays, describing a client with nothing left to do.
    state.prepared_check->plan.download.clear();
    state.prepared_check->plan.delete_.clear();
  }
}

void on_failed(AppState& state, const std::string& error) {
  state.busy = false;
  state.status = record_ui_error(state.client_root(), kWorkerContext, error);
  state.ready = false;
  // Dropped without a discard: its folder stays for a later check or recovery.
  state.prepared_check.reset();
  state.progress.reset();
}

// Hands the client to the updater; false when the window closed for it.
bool hand_to_updater(WindowContext& context, const std::optional<std::filesystem::path>& staged) {
  AppState& state = context.state;
  state.busy = false;
  if (!state.config || !state.config_file) return true;
  const Status started = staged ? spawn_updater(*state.config, *state.config_file, *staged,
                                                static_cast<std::uint32_t>(platform::process_id()))
                                : spawn_recovery_updater(*state.config, *state.config_file);
  if (started) {
    context.window.destroy();
    return false;
  }
  state.status = record_ui_error(state.config->root, kStartUpdaterContext, started.error().to_string());
  return true;
}

bool deferred_start_due(const WindowContext& context) {
  const AppState& state = context.state;
  bool settled = false;
  bool lock_free = false;
  if (state.config) {
    if (const auto id = arg_value_in(context.args, kHealthIdOption)) {
      settled = self_update_settled(*state.config, *id);
    }
    auto probe = acquire_client_lock(state.config->root);
    lock_free = probe.has_value();
    release_lock_or_error(std::move(probe));
  }
  if (settled && lock_free) return true;
  const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - state.stage_started);
  return elapsed.count() > kDeferredStartLimitSeconds;
}

void on_pointer_moved(WindowContext& context, const ev::PointerMoved& moved) {
  AppState& state = context.state;
  const std::int32_t remembered_focus = state.focus;
  state.focus = -1;
  const std::int32_t hovered = target_at(state, moved.x, moved.y);
  const auto shape = hovered >= 0 ? platform::PointerShape::Hand : platform::PointerShape::Arrow;
  if (context.cursor != shape) {
    context.window.set_cursor(shape);
    context.cursor = shape;
  }
  if (remembered_focus == -1 && hovered == state.hover) return;
  state.hover = hovered;
  repaint(context);
}

void on_button_pressed(WindowContext& context, const ev::ButtonPressed& pressed) {
  if (pressed.button != ev::MouseButton::Left) return;
  const AppState& state = context.state;
  if (target_at(state, pressed.x, pressed.y) >= 0) return;
  // The unrounded base y decides, as the drag area ends exactly at 605.
  if (static_cast<double>(pressed.y) / state.scale < kCaptionBottom) context.window.begin_caption_drag();
}

void on_button_released(WindowContext& context, const ev::ButtonReleased& released) {
  if (released.button != ev::MouseButton::Left) return;
  const std::int32_t target = target_at(context.state, released.x, released.y);
  if (target < 0) return;
  perform_action(context, target);
  repaint_if_open(context);
}

void on_key(WindowContext& context, const ev::KeyPressed& key) {
  AppState& state = context.state;
  switch (key.key) {
    case ev::Key::Tab:
      state.focus = (state.focus + 1) % kTabTarget;
      return repaint(context);
    case ev::Key::Enter:
      if (state.focus < 0) return;
      perform_action(context, state.focus);
      return repaint_if_open(context);
    case ev::Key::Escape: return perform_action(context, kCloseTarget);
    case ev::Key::Space:
    case ev::Key::Other: return;
  }
}

}  // namespace

std::string title_suffix(const AppState& state) {
  if (const auto ratio = progress_ratio(state.progress)) return percent_suffix(*ratio);
  return {};
}

bool handle_worker_message(WindowContext& context, WorkerMessage message) {
  AppState& state = context.state;
  return std::visit(
      [&](auto&& payload) -> bool {
        using T = std::decay_t<decltype(payload)>;
        if constexpr (std::is_same_v<T, WorkerMessage::Line>) {
          on_line(state, std::move(payload.text));
        } else if constexpr (std::is_same_v<T, WorkerMessage::CheckFinished>) {
          on_check_finished(state, std::move(payload));
        } else if constexpr (std::is_same_v<T, WorkerMessage::ApplyFinished>) {
          on_apply_finished(state);
        } else if constexpr (std::is_same_v<T, WorkerMessage::GameClosed>) {
          state.busy = false;
          state.progress = finished_progress(Stage::CloseGame);
          state.status = std::string(kGameClosedStatus);
        } else if constexpr (std::is_same_v<T, WorkerMessage::Failed>) {
          on_failed(state, payload.error);
        } else if constexpr (std::is_same_v<T, WorkerMessage::SelfUpdateInFlight>) {
          return hand_to_updater(context, std::nullopt);
        } else {
          static_assert(std::is_same_v<T, WorkerMessage::SelfUpdateStaged>);
          return hand_to_updater(context, payload.transaction_dir);
        }
        return true;
      },
      std::move(message.payload));
}

void timer_tick(WindowContext& context) {
  AppState& state = context.state;
  bool news = false;
  // A job started from the window meanwhile (PATCH, CHECK) runs first: two
  // jobs would change the client at once.
  if (state.check_pending && !state.busy && deferred_start_due(context)) {
    news = true;
    state.check_pending = false;
    start_startup_worker(state);
  }
  while (auto message = state.receiver.try_receive()) {
    news = true;
    if (!handle_worker_message(context, std::move(*message))) return;
  }
  const bool sweeping = state.busy && !progress_ratio(state.progress);
  if (!news && !sweeping) return;
  context.window.set_title(titled(state.status, title_suffix(state)));
  repaint(context);
}

bool self_update_settled(const ClientConfig& config, std::string_view health_id) {
  const auto dir = transaction_dir_for_id(config.root, health_id);
  if (!dir) return false;
  if (!platform::stat_path(*dir / self_update_file::kJournal)) return true;
  const auto journal = read_update_journal(*dir);
  return journal && journal->phase == self_update_phase::kComplete;
}

void change_scale(WindowContext& context, double dpi, const platform::DisplayInfo& display) {
  AppState& state = context.state;
  const double first = fitted_scale(dpi, nullptr);
  const auto position = context.window.position();
  const auto [x0, y0] = position.value_or(std::pair<std::int32_t, std::int32_t>{0, 0});
  const FrameSize first_size = frame_size(first);
  const platform::ScreenRect suggested{x0, y0, x0 + first_size.width, y0 + first_size.height};
  const platform::Monitor* monitor = display.monitor_near(suggested);
  const double scale = fitted_scale(dpi, monitor);
  state.set_scale(scale);
  const FrameSize size = frame_size(scale);
  std::int32_t x = x0;
  std::int32_t y = y0;
  if (monitor) {
    x = keep_inside(x, monitor->work_area.left, monitor->work_area.right, size.width);
    y = keep_inside(y, monitor->work_area.top, monitor->work_area.bottom, size.height);
  }
  // Where the window is cannot be told (no display), it is not moved: the
  // next frame gives it its new size.
  if (position) {
    context.window.move_resize(x, y, saturate_to_i32(kBaseWidth * scale), saturate_to_i32(kBaseHeight * scale));
  }
  repaint(context);
}

void window_proc(WindowContext& context, const platform::WindowEvent& event) {
  AppState& state = context.state;
  std::visit(
      [&](const auto& e) {
        using T = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<T, ev::Tick>) {
          timer_tick(context);
        } else if constexpr (std::is_same_v<T, ev::CloseRequested>) {
          perform_action(context, kCloseTarget);
        } else if constexpr (std::is_same_v<T, ev::KeyPressed>) {
          on_key(context, e);
        } else if constexpr (std::is_same_v<T, ev::FocusLost>) {
          state.hover = -1;
          state.focus = -1;
          repaint(context);
        } else if constexpr (std::is_same_v<T, ev::PointerMoved>) {
          on_pointer_moved(context, e);
        } else if constexpr (std::is_same_v<T, ev::PointerLeft>) {
          state.hover = -1;
          repaint(context);
        } else if constexpr (std::is_same_v<T, ev::ButtonPressed>) {
          on_button_pressed(context, e);
        } else if constexpr (std::is_same_v<T, ev::ButtonReleased>) {
          on_button_released(context, e);
        } else {
          static_assert(std::is_same_v<T, ev::ScaleChanged>);
          change_scale(context, e.dpi, context.window.display_info());
        }
      },
      event);
}

}  // namespace qv
