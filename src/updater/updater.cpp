#include "updater/updater.hpp"

#include <signal.h>

#include <charconv>
#include <span>
#include <thread>

#include <fmt/format.h>

#include "core/formats/launcher_update.hpp"
#include "core/foundations/diagnostics.hpp"
#include "core/foundations/failpoint.hpp"
#include "core/foundations/fileops.hpp"
#include "core/foundations/hashing.hpp"
#include "core/foundations/lock.hpp"
#include "core/foundations/paths.hpp"
#include "core/self_update/health.hpp"
#include "core/self_update/launcher_swap.hpp"
#include "core/self_update/startup_recovery.hpp"
#include "core/self_update/update_journal.hpp"
#include "platform/fs.hpp"
#include "platform/process_handle.hpp"
#include "platform/session_spawn.hpp"

namespace qv::updater {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPollInterval = std::chrono::milliseconds(50);
constexpr std::string_view kLogContext = "updater";
constexpr std::size_t kMaxMetadataBytes = std::size_t{32} << 20;
constexpr std::size_t kMaxAnswerBytes = 4096;

constexpr std::string_view kUsage =
    "usage: LauncherUpdater.exe --config FILE (--transaction ID | --recover-only yes) [--wait-pid PID]";

int to_ms(Clock::duration d) { return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count()); }

// Why an update is rolled back. Only a new launcher that failed its handshake
// (no answer in time, a wrong answer, an end before answering) refuses the
// update for good; a failure of this program itself (a full disk, a refused
// link, a launcher it could not start) leaves the update to be tried again.
enum class Failure { Handshake, Local };

// How the handshake ended: nothing when the new launcher answered, else why
// it failed; an error of this program's own (a wait that fails) is the
// Result's error.
using Handshake = Result<std::optional<Error>>;

class Updater {
 public:
  Updater(const Invocation& invocation, const ClientConfig& config)
      : invocation_(invocation), config_(config), root_(config.root), armed_(config.allow_loopback_http) {}

  int update(const std::string& id);
  int recover();

 private:
  void log(const std::string& text) const { (void)append_error_record(root_, kLogContext, text); }
  void wait_for_starter() const;
  Result<ClientLock> lock_client() const;
  Result<std::uint32_t> start_launcher(std::vector<std::string> args) const;
  Handshake await_health(const std::filesystem::path& folder, const UpdateJournal& journal, std::uint64_t version,
                         std::uint32_t pid, const platform::ProcessHandle& launcher) const;
  int roll_back(ClientLock lock, const std::filesystem::path& folder, UpdateJournal journal, std::uint64_t version,
                const Error& reason, Failure failure, bool launcher_before);
  void reject(const std::filesystem::path& folder) const;
  void start_plain_launcher() const;

  const Invocation& invocation_;
  const ClientConfig& config_;
  std::filesystem::path root_;
  bool armed_;
};

void Updater::wait_for_starter() const {
  if (!invocation_.wait_pid) return;
  auto handle = platform::ProcessHandle::open(*invocation_.wait_pid);
  if (!handle) return;  // already gone
  auto ended = handle->wait_exit(to_ms(kLauncherEndWait));
  if (!ended || !*ended) {
    log(fmt::format("process {} did not end within {} s; going on", *invocation_.wait_pid, kLauncherEndWait.count()));
  }
}

// The launcher that started this updater may still be giving the lock back;
// another launcher may hold it for a while. Neither is waited for forever.
Result<ClientLock> Updater::lock_client() const {
  const auto deadline = Clock::now() + kLockWait;
  for (;;) {
    auto lock = acquire_client_lock(root_);
    if (lock || Clock::now() >= deadline) return lock;
    std::this_thread::sleep_for(kPollInterval);
  }
}

Result<std::uint32_t> Updater::start_launcher(std::vector<std::string> args) const {
  const auto launcher = QV_TRY(join_checked(root_, launcher_path::kLauncher));
  args.push_back("--config");
  args.push_back(invocation_.config_file.string());
  return platform::spawn_in_new_session(launcher, args, root_);
}

void Updater::start_plain_launcher() const {
  if (auto started = start_launcher({}); !started) {
    log(fmt::format("the launcher could not be started: {}", started.error().to_string()));
  }
}

// Polls for an answer from exactly the launcher this updater started, until
// it comes, the launcher ends without one, or the time is up.
Handshake Updater::await_health(const std::filesystem::path& folder, const UpdateJournal& journal,
                                std::uint64_t version, std::uint32_t pid,
                                const platform::ProcessHandle& launcher) const {
  const auto answer_path = folder / self_update_file::kHealth;
  // True for the right answer; an answer that does not decode is the
  // launcher's failure.
  auto answered = [&]() -> Result<bool> {
    auto bytes = platform::read_small_file(answer_path, kMaxAnswerBytes);
    if (!bytes) return false;  // not written yet
    auto answer = decode_health_answer(*bytes);
    if (!answer) return fail(answer.error().context("health answer unreadable"));
    return answer->pid == pid && answer->token == journal.token && answer->version == version;
  };
  const auto deadline = Clock::now() + kHealthWait;
  for (;;) {
    auto right = answered();
    if (!right) return std::optional(std::move(right).error());
    if (*right) return std::optional<Error>();
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) {
      return std::optional(Error(fmt::format("the new launcher did not answer within {} s", kHealthWait.count())));
    }
    if (QV_TRY(launcher.wait_exit(to_ms(std::min<Clock::duration>(left, kPollInterval))))) {
      // An answer written just before the end still counts.
      right = answered();
      if (!right) return std::optional(std::move(right).error());
      if (*right) return std::optional<Error>();
      auto status = platform::reap_child(pid);
      const std::string how = status && *status ? fmt::format("exit code {}", **status) : "a signal";
      return std::optional(Error(fmt::format("the new launcher ended with {} before answering", how)));
    }
  }
}

// Once on disk, the update's metadata is never staged again, even if this run
// dies before the rollback is written.
void Updater::reject(const std::filesystem::path& folder) const {
  auto rejected = [&]() -> Status {
    const auto fingerprint = QV_TRY(hash_file(folder / self_update_file::kMetadata, HashAlgorithm::Sha256));
    return write_file_atomic(QV_TRY(join_checked(root_, launcher_path::kRejectedUpdate)), fingerprint);
  }();
  if (!rejected) log(fmt::format("the update could not be marked as rejected: {}", rejected.error().to_string()));
}

// `launcher_before`: the root held a Launcher.exe before the swap. Without
// one there is nothing to put back, and the new launcher is set aside rather
// than left (and started) in its place.
int Updater::roll_back(ClientLock lock, const std::filesystem::path& folder, UpdateJournal journal,
                       std::uint64_t version, const Error& reason, Failure failure, bool launcher_before) {
  log(fmt::format("launcher update to version {} failed: {}", version, reason.to_string()));
  // The fingerprint goes first, before anything is restored.
  if (failure == Failure::Handshake) reject(folder);
  fail_point(armed_, "updater-rejected");
  std::optional<std::filesystem::path> set_aside;
  Status restored;
  if (launcher_before) {
    restored = restore_previous_launcher(root_, folder, armed_);
  } else if (auto moved = set_aside_new_launcher(root_, folder); moved) {
    set_aside = *moved;
  } else {
    restored = std::unexpected(moved.error());
  }
  if (restored) {
    journal.phase = self_update_phase::kRolledBack;
    restored = write_update_journal(folder, journal);
  }
  if (!restored) {
    // The phase stays in flight: the next launcher start hands the rest to a
    // recovery run.
    log(fmt::format("rollback unfinished: {}", restored.error().to_string()));
  } else if (launcher_before) {
    log(fmt::format("launcher update to version {} rolled back", version));
  } else {
    log(fmt::format("launcher update to version {} undone: there was no Launcher.exe before it, so the new one {} "
                    "and no launcher is started",
                    version, set_aside ? "is set aside as " + set_aside->string() : "was never put in place"));
  }
  release_client_lock(std::move(lock));
  if (!launcher_before) return kExitFailed;
  if (failure == Failure::Local) {
    // The update is not refused, so a launcher started now would stage it and
    // hand it over again at once, in a circle for as long as the cause lasts;
    // the player's next start tries again.
    log("the launcher is not started; its next start tries the update again");
    return kExitFailed;
  }
  start_plain_launcher();
  return kExitFailed;
}

int Updater::update(const std::string& id) {
  auto folder = transaction_dir_for_id(root_, id);
  if (!folder) {
    log(fmt::format("transaction {}: {}", id, folder.error().to_string()));
    return kExitUsage;
  }
  wait_for_starter();
  auto lock = lock_client();
  if (!lock) {
    log(fmt::format("transaction {} left staged: {}", id, lock.error().to_string()));
    return kExitFailed;
  }
  // Until Launcher.exe is touched, a failure changes nothing and starts
  // nothing: a launcher started now would stage and hand over the same
  // update again, and again.
  auto prepared = [&]() -> Result<std::pair<UpdateJournal, LauncherUpdate>> {
    auto journal = QV_TRY(read_update_journal(*folder));
    if (journal.phase != self_update_phase::kStaged) {
      return fail(fmt::format("the journal reads \"{}\", not \"{}\"", journal.phase, self_update_phase::kStaged));
    }
    const auto metadata = QV_TRY(platform::read_small_file(*folder / self_update_file::kMetadata, kMaxMetadataBytes));
    auto update = QV_TRY(read_launcher_update(
        std::span(reinterpret_cast<const std::uint8_t*>(metadata.data()), metadata.size()), config_));
    QV_TRY(platform::stat_path(*folder / self_update_file::kNewLauncher));
    return std::pair(std::move(journal), std::move(update));
  }();
  if (!prepared) {
    log(fmt::format("transaction {} not applied: {}", id, prepared.error().to_string()));
    release_client_lock(std::move(*lock));
    return kExitFailed;
  }
  auto& [journal, update] = *prepared;
  const auto version = update.version;

  journal.phase = self_update_phase::kReplacing;
  if (auto written = write_update_journal(*folder, journal); !written) {
    log(fmt::format("transaction {} not applied: {}", id, written.error().to_string()));
    release_client_lock(std::move(*lock));
    return kExitFailed;
  }
  fail_point(armed_, "updater-replacing");
  const auto launcher_file = join_checked(root_, launcher_path::kLauncher);
  const bool launcher_before = launcher_file && platform::lstat_path(*launcher_file).has_value();
  const auto undo = [&](const Error& reason, Failure failure) {
    return roll_back(std::move(*lock), *folder, journal, version, reason, failure, launcher_before);
  };
  if (auto installed = install_staged_launcher(root_, *folder, armed_); !installed) {
    return undo(installed.error(), Failure::Local);
  }
  journal.phase = self_update_phase::kAwaitingHealth;
  if (auto written = write_update_journal(*folder, journal); !written) return undo(written.error(), Failure::Local);
  fail_point(armed_, "updater-awaiting-health");

  auto pid = start_launcher({"--health-id", id, "--health-token", journal.token});
  if (!pid) return undo(pid.error().context("start new launcher"), Failure::Local);
  auto launcher = platform::ProcessHandle::open(*pid);
  Handshake handshake = launcher ? await_health(*folder, journal, version, *pid, *launcher)
                                 : Handshake(std::unexpected(launcher.error()));
  if (!handshake || *handshake) {
    // A launcher that did not prove itself must not run on beside the one
    // that is put back.
    if (launcher && !launcher->wait_exit(0).value_or(true)) {
      (void)launcher->send_signal(SIGKILL);
      (void)platform::reap_child(*pid);
    }
    if (!handshake) return undo(handshake.error(), Failure::Local);
    return undo(**handshake, Failure::Handshake);
  }
  journal.phase = self_update_phase::kComplete;
  if (auto written = write_update_journal(*folder, journal); !written) {
    // The new launcher runs and answered; its start-up finds the update in
    // flight and hands it to a recovery run, which rolls it back.
    log(fmt::format("launcher update to version {} answered but could not be completed: {}", version,
                    written.error().to_string()));
    release_client_lock(std::move(*lock));
    return kExitFailed;
  }
  release_client_lock(std::move(*lock));
  log(fmt::format("launcher updated to version {}", version));
  return kExitDone;
}

int Updater::recover() {
  wait_for_starter();
  // The lock is only waited for here; recover_self_update takes it itself.
  if (auto lock = lock_client(); lock) {
    release_client_lock(std::move(*lock));
  }
  if (auto recovered = recover_self_update(config_); !recovered) {
    log(fmt::format("recovery failed: {}", recovered.error().to_string()));
  }
  // A launcher started while an update is still in flight would hand over
  // to another recovery run at once; rather than start that circle, the
  // player's next start tries again.
  auto in_flight = find_inflight_self_update(config_);
  if (!in_flight || *in_flight) {
    log(in_flight ? std::string("an update is still in flight; the launcher is not started")
                  : fmt::format("the launcher is not started: {}", in_flight.error().to_string()));
    return kExitFailed;
  }
  start_plain_launcher();
  return kExitDone;
}

}  // namespace

Result<Invocation> parse_invocation(const std::vector<std::string>& args) {
  Invocation invocation;
  const auto config = arg_value_in(args, "--config");
  if (!config) return fail(std::string(kUsage));
  invocation.config_file = *config;
  invocation.transaction = arg_value_in(args, "--transaction");
  invocation.recover_only = arg_value_in(args, "--recover-only") == "yes";
  if (invocation.recover_only == invocation.transaction.has_value()) return fail(std::string(kUsage));
  if (const auto pid = arg_value_in(args, "--wait-pid")) {
    std::uint32_t value = 0;
    const auto* end = pid->data() + pid->size();
    const auto [ptr, ec] = std::from_chars(pid->data(), end, value);
    if (ec != std::errc() || ptr != end || pid->empty()) return fail(fmt::format("--wait-pid {}: not a process id", *pid));
    invocation.wait_pid = value;
  }
  return invocation;
}

int run(const Invocation& invocation, const ClientConfig& config) {
  Updater updater(invocation, config);
  return invocation.recover_only ? updater.recover() : updater.update(*invocation.transaction);
}

}  // namespace qv::updater
