// A stand-in for Launcher.exe around a self-update, until the window exists.
// It runs what the desktop's start-up runs, in the same order, with no window:
//   - with "--health-id" and "--health-token": the health handshake (a failure
//     goes to standard error with exit code 1), then the deferred start-up:
//     the start-up job waits until the update's journal reads "complete" (or
//     is gone) and the client lock is free, or 35 seconds have passed;
//   - the start-up job: an update in flight starts the recovery updater and
//     ends; otherwise start-up recovery, then staging with this build's
//     version (QV_STANDIN_VERSION), and a staged update starts the updater.
// What it did is appended as "v{version} {event}" lines to the file named by
// QV_STANDIN_REPORT, so tests can follow it through the updater, which gives
// its launchers /dev/null as standard streams.
//
// Two more variables make it a probe:
//   QV_STANDIN_RECORD=PATH  write {"args", "cwd", "fds", "streams", "pid",
//                           "sid"} as JSON to PATH and end at once (copied as
//                           LauncherUpdater.exe, it shows how it was started)
//   QV_STANDIN_HANG=1       on a health handshake, say "hanging {pid}" and
//                           sleep for 60 seconds instead of answering
#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "core/foundations/config.hpp"
#include "core/foundations/fileops.hpp"
#include "core/foundations/lock.hpp"
#include "core/foundations/progress.hpp"
#include "core/self_update/handoff.hpp"
#include "core/self_update/health.hpp"
#include "core/self_update/staging.hpp"
#include "core/self_update/startup_recovery.hpp"
#include "core/self_update/update_journal.hpp"
#include "platform/process_info.hpp"

namespace {

constexpr std::uint64_t kVersion = QV_STANDIN_VERSION;
constexpr auto kSettleLimit = std::chrono::seconds(35);

void report(const std::string& event) {
  const char* path = std::getenv("QV_STANDIN_REPORT");
  if (path == nullptr) return;
  std::ofstream out(path, std::ios::app);
  out << fmt::format("v{} {}\n", kVersion, event) << std::flush;
}

std::string link_target(const std::string& path) {
  std::error_code ec;
  auto target = std::filesystem::read_symlink(path, ec);
  return ec ? std::string() : target.string();
}

int record_invocation(const char* path) {
  nlohmann::ordered_json record;
  record["args"] = qv::platform::process_arguments();
  record["cwd"] = std::filesystem::current_path().string();
  nlohmann::json fds = nlohmann::json::array();
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    const int own = ::dirfd(dir);
    while (dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] == '.') continue;
      const int fd = std::atoi(entry->d_name);
      if (fd != own) fds.push_back(fd);
    }
    ::closedir(dir);
  }
  record["fds"] = fds;
  record["streams"] = {link_target("/proc/self/fd/0"), link_target("/proc/self/fd/1"),
                       link_target("/proc/self/fd/2")};
  record["pid"] = ::getpid();
  record["sid"] = ::getsid(0);
  // Written whole or not at all, so a test that waits for the file never
  // reads it half written.
  if (auto written = qv::write_file_atomic(path, record.dump()); !written) {
    std::fprintf(stderr, "launcher stand-in: %s\n", written.error().to_string().c_str());
    return 1;
  }
  return 0;
}

// The window's settle test and lock probe, once a tick.
void deferred_startup(const qv::ClientConfig& config, const std::string& id) {
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    bool settled = false;
    if (auto folder = qv::transaction_dir_for_id(config.root, id)) {
      if (!std::filesystem::exists(*folder / "self-update.json")) {
        settled = true;
      } else if (auto journal = qv::read_update_journal(*folder)) {
        settled = journal->phase == "complete";
      }
    }
    auto lock = qv::acquire_client_lock(config.root);
    const bool lock_free = lock.has_value();
    qv::release_lock_or_error(std::move(lock));
    if ((settled && lock_free) || std::chrono::steady_clock::now() - start > kSettleLimit) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

int startup_job(const qv::ClientConfig& config, const std::filesystem::path& config_file) {
  auto in_flight = qv::find_inflight_self_update(config);
  if (!in_flight) {
    report("failed: " + in_flight.error().to_string());
    return 0;
  }
  if (*in_flight) {
    auto started = qv::spawn_recovery_updater(config, config_file);
    report(started ? "in flight; recovery updater started" : "start updater: " + started.error().to_string());
    return 0;
  }
  if (auto recovered = qv::recover_self_update(config); !recovered) {
    report("failed: " + recovered.error().to_string());
    return 0;
  }
  qv::CancelFlag cancel;
  auto outcome = qv::stage_launcher_update(config, cancel, qv::LineSink::discard(), kVersion);
  if (!outcome) {
    report("failed: " + outcome.error().to_string());
    return 0;
  }
  if (outcome->kind == qv::SelfUpdateOutcome::Kind::NoUpdate) {
    report("no update");
    return 0;
  }
  auto started = qv::spawn_updater(config, config_file, outcome->transaction_dir,
                                   static_cast<std::uint32_t>(qv::platform::process_id()));
  report(started ? "staged; updater started" : "start updater: " + started.error().to_string());
  return 0;
}

}  // namespace

int main() {
  if (const char* record = std::getenv("QV_STANDIN_RECORD")) return record_invocation(record);
  auto config_file = qv::config_path();
  if (!config_file) {
    report("no configuration: " + config_file.error().to_string());
    return 0;
  }
  auto config = qv::load_config(*config_file);
  if (!config) {
    report("configuration: " + config.error().to_string());
    return 0;
  }
  const auto id = qv::arg_value("--health-id");
  const auto token = qv::arg_value("--health-token");
  if (id && token) {
    if (std::getenv("QV_STANDIN_HANG") != nullptr) {
      report(fmt::format("hanging {}", ::getpid()));
      std::this_thread::sleep_for(std::chrono::seconds(60));
      return 0;
    }
    if (auto answered = qv::answer_health_check(*config, *id, *token); !answered) {
      report("health failed: " + answered.error().to_string());
      std::fprintf(stderr, "%s\n", answered.error().to_string().c_str());
      return 1;
    }
    report("health answered");
    deferred_startup(*config, *id);
  }
  report("start-up");
  return startup_job(*config, *config_file);
}
