#include "core/foundations/processes.hpp"

#include <chrono>
#include <cstdint>
#include <csignal>
#include <cerrno>
#include <optional>
#include <set>

#include <fmt/format.h>

#include "core/foundations/paths.hpp"
#include "core/foundations/unicode.hpp"
#include "platform/fs.hpp"
#include "platform/process_handle.hpp"
#include "platform/process_scan.hpp"
#include "platform/process_spawn.hpp"
#include "platform/x11_windows.hpp"

namespace qv {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kGameFileName = "zEntry.exe";
constexpr std::string_view kGameWindowTitle = "QV Online";

constexpr const char* kSnapshotFailed = "snapshot failed";
constexpr const char* kCannotInspect = "cannot inspect process {}";
constexpr const char* kImageQuery = "process image query";
constexpr const char* kNotScoped = "candidate game process could not be scoped safely; patching stopped";
constexpr const char* kCannotVerifyLocation = "cannot verify candidate executable location";
constexpr const char* kCannotClose = "cannot close process {}: {}";
constexpr const char* kIdentityChanged = "process identity changed";
constexpr const char* kTerminateFailed = "terminate failed";
constexpr const char* kDidNotExit = "process did not exit";
constexpr const char* kGameMissing = "game executable missing";

constexpr auto kCloseWait = std::chrono::seconds(5);
constexpr int kWaitStepMs = 100;
constexpr int kKillWaitMs = 5000;

// The operating-system error at the end of the chain, where the reason a
// process could not be inspected is kept under its contexts.
std::optional<int> innermost_os_code(const Error& error) {
  std::optional<int> code = error.os_code();
  for (auto cause = error.cause(); cause; cause = cause->cause()) code = cause->os_code();
  return code;
}

// ESRCH anywhere it can arise here means the process has exited.
bool is_gone(const Error& error) { return innermost_os_code(error) == ESRCH; }

Result<platform::ProcessImage> process_image_path(const platform::ProcessHandle& handle) {
  auto image = handle.image();
  if (!image) return fail(image.error().context(kImageQuery));
  return image;
}

// Opens the process by id and reads its executable.
Result<platform::ProcessImage> query_candidate(std::uint32_t pid) {
  auto handle = platform::ProcessHandle::open(pid);
  if (!handle) return fail(handle.error().context(fmt::format(fmt::runtime(kCannotInspect), pid)));
  return process_image_path(*handle);
}

void collect_titled_windows(std::set<std::uint32_t>& ids) {
  for (const auto& window : platform::list_top_level_windows()) {
    // Any X client may declare any pid; ids no process can have are passed over.
    if (window.pid && *window.pid > 0 && *window.pid <= static_cast<std::uint32_t>(INT32_MAX) &&
        window.title == kGameWindowTitle) {
      ids.insert(*window.pid);
    }
  }
}

Status collect_named_processes(std::set<std::uint32_t>& ids) {
  auto pids = platform::list_process_ids();
  if (!pids) return fail(kSnapshotFailed);
  for (std::uint32_t pid : *pids) {
    // Both names count: a program started through a loader reports the
    // loader as its executable but keeps the game's name as its command.
    auto names = platform::process_names(pid);
    if (is_game_file_name(names.exe_name) || is_game_file_name(names.command)) ids.insert(pid);
  }
  return {};
}

// Asks the process to close and waits; kills it when it has not exited after
// the close wait.
Status close_and_wait(const platform::ProcessHandle& handle) {
  // Windows are addressed by the id; a process that has already gone is not
  // asked, so a reused id cannot bring a stranger a close request.
  if (auto gone = handle.wait_exit(0); gone && *gone) return {};
  if (platform::request_close_of_process_windows(handle.pid()) == 0) {
    // No window to ask: the signal is the request. A failure here (the process
    // exiting meanwhile) is settled by the wait below.
    (void)handle.send_signal(SIGTERM);
  }
  // A steady clock: time never runs backwards, so the wait cannot be cut
  // short or stretched by a clock change.
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    auto exited = handle.wait_exit(kWaitStepMs);
    if (!exited || *exited) break;
    if (std::chrono::steady_clock::now() - start >= kCloseWait) break;
  }
  auto exited = handle.wait_exit(0);
  if (exited && *exited) return {};
  if (auto killed = handle.send_signal(SIGKILL); !killed && !is_gone(killed.error())) {
    return fail(kTerminateFailed);
  }
  auto gone = handle.wait_exit(kKillWaitMs);
  if (!gone || !*gone) return fail(kDidNotExit);
  return {};
}

Status close_one(const fs::path& canonical_root, const ProcessCandidate& candidate) {
  // The descriptor is opened before any check, so every later check and
  // every signal concerns the same process even if the id is reused.
  auto handle = platform::ProcessHandle::open(candidate.pid);
  Status may_signal = handle ? handle->send_signal(0) : Status(fail(handle.error()));
  if (!may_signal) {
    auto query = query_candidate(candidate.pid);
    if ((!query && is_gone(query.error())) || is_gone(may_signal.error())) return {};
    return fail(fmt::format(fmt::runtime(kCannotClose), candidate.pid, may_signal.error().to_string()));
  }
  auto image = process_image_path(*handle);
  if (!image) {
    // Exited since the listing: it counts as closed.
    if (is_gone(image.error())) return {};
    return fail(image.error());
  }
  const bool inside = QV_TRY(is_inside_client(image->path, canonical_root));
  if (!inside) return fail(kIdentityChanged);
  return close_and_wait(*handle);
}

}  // namespace

bool is_game_file_name(std::string_view name) { return equals_ignoring_ascii_case(name, kGameFileName); }

Result<bool> is_inside_client(const fs::path& image, const fs::path& canonical_root) {
  auto canonical = platform::canonicalize(image);
  if (!canonical && canonical.error().is_not_found()) {
    // An executable unlinked while it runs (replaced by an update, say) is
    // placed by the folder it was started from.
    auto folder = platform::canonicalize(image.parent_path());
    if (folder) canonical = *folder / image.filename();
  }
  if (!canonical && canonical.error().is_not_found() && !path_within(image.lexically_normal(), canonical_root)) {
    // Its folder is gone too (a copy run from a removed folder elsewhere):
    // the path as reported already places it outside the client.
    return false;
  }
  if (!canonical) return fail(canonical.error().context(kCannotVerifyLocation));
  if (!path_within(*canonical, canonical_root) || *canonical == canonical_root) return false;
  QV_TRY(reject_reparse_points(image));
  return true;
}

Result<std::vector<ProcessCandidate>> find_client_game_processes(const fs::path& client_root) {
  const fs::path root = QV_TRY(platform::canonicalize(client_root));
  std::set<std::uint32_t> ids;
  collect_titled_windows(ids);
  QV_TRY(collect_named_processes(ids));

  std::vector<ProcessCandidate> candidates;
  for (std::uint32_t pid : ids) {
    auto image = query_candidate(pid);
    if (!image) {
      if (is_gone(image.error())) continue;
      return fail(image.error().context(kNotScoped));
    }
    const bool inside = QV_TRY(is_inside_client(image->path, root));
    if (inside) candidates.push_back(ProcessCandidate{pid, image->path});
  }
  return candidates;
}

Status close_candidates(const fs::path& canonical_root, std::span<const ProcessCandidate> candidates) {
  for (const auto& candidate : candidates) QV_TRY(close_one(canonical_root, candidate));
  return {};
}

Result<std::vector<ProcessCandidate>> close_client_game(const fs::path& client_root) {
  const fs::path root = QV_TRY(resolve_write_root(client_root));
  auto candidates = QV_TRY(find_client_game_processes(root));
  QV_TRY(close_candidates(root, candidates));
  return candidates;
}

Status launch_game(const fs::path& client_root, const Manifest& manifest) {
  const fs::path exe = QV_TRY(resolve_physical_path(client_root, manifest.game_exe));
  auto info = platform::stat_path(exe);
  if (!info || info->kind != platform::FileKind::Regular) return fail(kGameMissing);
  QV_TRY(platform::spawn_detached(exe, manifest.game_args, client_root));
  return {};
}

}  // namespace qv
