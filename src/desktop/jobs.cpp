#include "desktop/jobs.hpp"

#include <utility>

#include <fmt/format.h>

#include "core/foundations/lock.hpp"
#include "core/foundations/processes.hpp"
#include "core/install/apply.hpp"
#include "core/install/recovery.hpp"
#include "core/self_update/staging.hpp"
#include "core/self_update/startup_recovery.hpp"
#include "core/self_update/update_journal.hpp"
#include "core/self_update/version.hpp"
#include "desktop/internal_failure.hpp"
#include "platform/thread.hpp"

namespace qv {
namespace {

constexpr std::string_view kStoppingGame = "ปิดเกมก่อนติดตั้ง";

void send_failed(const WorkerSender& sender, const Error& error) {
  sender.send(WorkerMessage{WorkerMessage::Failed{error.to_string()}});
}

// Runs a job body, turning whatever escapes it into the job's last message.
void run_job_body(const WorkerSender& sender, const std::function<void(const WorkerSender&)>& body) noexcept {
  std::string failure;
  try {
    body(sender);
    return;
  } catch (...) {
    try {
      failure = describe_current_exception();
    } catch (...) {
      // No memory even for the text: the fixed one still goes out.
    }
  }
  if (failure.empty()) failure = "internal failure";
  report_internal_failure(failure);
  try {
    sender.send(WorkerMessage{WorkerMessage::Failed{std::move(failure)}});
  } catch (...) {
    // The message itself cannot be made; the window stays busy, and the
    // failure is on record.
  }
}

// The prepared check's finish, or its error: the check itself is dropped on
// an error.
void finish_and_report(const WorkerSender& sender, const ClientConfig& config, PreparedCheck check,
                       const LineSink& sink) {
  const auto ready = finish_check(config, check, sink);
  if (!ready) return send_failed(sender, ready.error());
  sender.send(WorkerMessage{WorkerMessage::CheckFinished{std::move(check), *ready}});
}

}  // namespace

void spawn_job(const WorkerSender& sender, std::function<void(const WorkerSender&)> body) {
  // The thread gets a sending end of its own, dropped when the job ends.
  auto started = platform::start_detached_thread(
      [job_sender = sender, job = std::move(body)]() { run_job_body(job_sender, job); }, kJobStackBytes);
  if (started) return;
  const std::string failure = "internal failure: create job thread: " + started.error().to_string();
  report_internal_failure(failure);
  sender.send(WorkerMessage{WorkerMessage::Failed{failure}});
}

void start_startup_worker(AppState& state) {
  if (!state.config) return;
  ClientConfig config = clone_config(*state.config);
  state.busy = true;
  // A flag of its own: the deferred start-up follows other jobs, and a cancel
  // asked of one of them (a close during STOP GAME) is not this job's.
  state.cancel = CancelFlag();
  spawn_job(state.sender, [config = std::move(config), cancel = state.cancel](const WorkerSender& sender) {
    startup_worker(sender, config, cancel);
  });
}

void start_worker(AppState& state, bool full_check, bool apply_prepared) {
  if (state.busy) return;
  if (!state.config) {
    state.status = std::string(kUnconfiguredHint);
    return;
  }
  ClientConfig config = clone_config(*state.config);
  state.ready = false;
  state.busy = true;
  state.cancel = CancelFlag();
  state.progress.reset();
  state.stage_started = std::chrono::steady_clock::now();
  spawn_job(state.sender, [config = std::move(config), check = state.prepared_check, cancel = state.cancel,
                           apply_prepared, full_check](const WorkerSender& sender) {
    check_apply_worker(sender, config, check, cancel, apply_prepared, full_check);
  });
}

void start_stop_game_worker(AppState& state) {
  if (state.busy || !state.config) return;
  std::filesystem::path root = state.config->root;
  state.busy = true;
  // The job polls no flag; a close while it runs sets this one, which no
  // later job shares.
  state.cancel = CancelFlag();
  state.progress = Progress{Stage::CloseGame, 0, 1, ProgressUnit::Steps, ""};
  state.status = std::string(kStoppingGame);
  spawn_job(state.sender,
            [root = std::move(root)](const WorkerSender& sender) { stop_game_worker(sender, root); });
}

void startup_worker(const WorkerSender& sender, const ClientConfig& config, const CancelFlag& cancel) {
  const LineSink sink = forwarding_line_sink(sender);
  const auto in_flight = find_inflight_self_update(config);
  if (!in_flight) return send_failed(sender, in_flight.error());
  if (*in_flight) return sender.send(WorkerMessage{WorkerMessage::SelfUpdateInFlight{}});

  if (auto recovered = recover_self_update(config); !recovered) return send_failed(sender, recovered.error());

  const auto outcome = stage_launcher_update(config, cancel, sink, kLauncherVersion);
  if (!outcome) return send_failed(sender, outcome.error());
  if (outcome->kind == SelfUpdateOutcome::Kind::Staged) {
    return sender.send(WorkerMessage{WorkerMessage::SelfUpdateStaged{outcome->transaction_dir}});
  }

  auto check = prepare(config, /*full_check=*/false, cancel, sink);
  if (!check) return send_failed(sender, check.error());
  finish_and_report(sender, config, std::move(*check), sink);
}

void check_apply_worker(const WorkerSender& sender, const ClientConfig& config,
                        const std::optional<PreparedCheck>& check, const CancelFlag& cancel, bool apply_prepared,
                        bool full_check) {
  const LineSink sink = forwarding_line_sink(sender);
  if (apply_prepared) {
    if (!check) return send_failed(sender, Error(std::string(kCheckBeforeUpdate)));
    if (auto applied = apply(config, *check, cancel, sink); !applied) return send_failed(sender, applied.error());
    return sender.send(WorkerMessage{WorkerMessage::ApplyFinished{}});
  }
  if (check) {
    if (auto discarded = discard_check(config, *check); !discarded) return send_failed(sender, discarded.error());
  }
  auto fresh = prepare(config, full_check, cancel, sink);
  if (!fresh) return send_failed(sender, fresh.error());
  finish_and_report(sender, config, std::move(*fresh), sink);
}

void stop_game_worker(const WorkerSender& sender, const std::filesystem::path& root) {
  const auto closed = close_client_game(root);
  if (!closed) return send_failed(sender, closed.error());
  sender.send(WorkerMessage{WorkerMessage::Line{fmt::format(fmt::runtime(kClosedGameProcesses), closed->size())}});
  sender.send(WorkerMessage{WorkerMessage::GameClosed{}});
}

Status launch_with_recovery(const std::filesystem::path& root, const PreparedCheck& check) {
  ClientLock lock = QV_TRY(acquire_client_lock(root));
  Status result = recover(root, LineSink::discard());
  if (result) result = launch_game(root, check.manifest.game_exe, check.manifest.game_args);
  release_client_lock(std::move(lock));
  return result;
}

}  // namespace qv
