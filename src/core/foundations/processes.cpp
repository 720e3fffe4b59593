#include "core/foundations/processes.hpp"

#include <chrono>
#include <csignal>
#include <cstdint>
#include <optional>
#include <set>

#include <fmt/format.h>

#include "core/foundations/paths.hpp"
#include "core/foundations/unicode.hpp"
#include "platform/fs.hpp"
#include "platform/process_handle.hpp"
#include "platform/process_info.hpp"
#include "platform/process_scan.hpp"
#include "platform/process_spawn.hpp"
#include "platform/windows_program.hpp"
#include "platform/x11_windows.hpp"

namespace qv {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kGameFileName = "zEntry.exe";
constexpr std::string_view kGameWindowTitle = "QV Online";
constexpr std::string_view kWindowsLoaders[] = {"wine", "wine64", "wine-preloader", "wine64-preloader"};
constexpr std::string_view kWindowsProgramExtension = ".exe";

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
constexpr const char* kNeedsWine = "this game is a Windows program and needs Wine; no wine was found";

constexpr auto kCloseWait = std::chrono::seconds(5);
// After the windows were asked in vain, the signal asks once more for this
// long before the kill.
constexpr auto kSignalWait = std::chrono::seconds(2);
constexpr int kWaitStepMs = 100;
constexpr int kKillWaitMs = 5000;

bool is_gone(const Error& error) { return platform::means_process_gone(error); }

// The program a process runs, as the client's rule looks at it: the path the
// system reports for it and the file itself.
struct GameImage {
  fs::path path;
  bool deleted = false;
  platform::FileIdentity file;
  // A Windows program mapped by its loader: its identity is as the process's
  // mappings show it.
  bool mapped = false;

  ProgramIdentity identity() const { return ProgramIdentity{file.device, file.inode, mapped}; }
};

// A Windows game runs under Wine, whose processes report the loader as their
// executable.
bool is_windows_loader(std::string_view name) {
  for (std::string_view loader : kWindowsLoaders) {
    if (name == loader) return true;
  }
  return false;
}

bool has_windows_program_extension(std::string_view name) {
  return name.size() > kWindowsProgramExtension.size() &&
         equals_ignoring_ascii_case(name.substr(name.size() - kWindowsProgramExtension.size()),
                                    kWindowsProgramExtension);
}

// The Windows program among a loader's mappings: the mapped ".exe" file whose
// name the process carries as its command (Wine names a process after its
// program; the kernel keeps the first 15 bytes), else the first one mapped.
std::optional<GameImage> windows_program(const std::vector<platform::MappedFile>& files, std::string_view command) {
  const platform::MappedFile* chosen = nullptr;
  for (const auto& file : files) {
    const std::string name = file.path.filename().string();
    if (!has_windows_program_extension(name)) continue;
    if (chosen == nullptr) chosen = &file;
    if (!command.empty() && name.starts_with(command)) {
      chosen = &file;
      break;
    }
  }
  if (chosen == nullptr) return std::nullopt;
  return GameImage{chosen->path, chosen->deleted, chosen->file, true};
}

// The program of exactly the process held; nothing for a kernel thread.
Result<std::optional<GameImage>> process_image_path(const platform::ProcessHandle& handle) {
  auto image = handle.image();
  if (!image) return fail(image.error().context(kImageQuery));
  if (!*image) return std::optional<GameImage>();
  GameImage game{(*image)->path, (*image)->deleted, (*image)->file, false};
  if (is_windows_loader(game.path.filename().string())) {
    auto files = handle.mapped_files();
    if (!files) return fail(files.error().context(kImageQuery));
    // A loader that has not mapped a program yet is only itself.
    if (auto program = windows_program(*files, platform::process_names(handle.pid()).command)) game = *program;
  }
  return std::optional<GameImage>(std::move(game));
}

// Opens the process by id and reads its program (nothing for a kernel
// thread). A process this one may not inspect fails with the image query's
// error, or with nothing to tell when it belongs to another user
// (`*another_user` set).
Result<std::optional<GameImage>> query_candidate(std::uint32_t pid, bool* another_user = nullptr) {
  auto handle = platform::ProcessHandle::open(pid);
  if (!handle) return fail(handle.error().context(fmt::format(fmt::runtime(kCannotInspect), pid)));
  auto image = process_image_path(*handle);
  if (!image) {
    if (another_user != nullptr && platform::means_access_denied(image.error())) {
      auto other = handle->belongs_to_another_user();
      if (!other && is_gone(other.error())) return fail(other.error());
      *another_user = other && *other;
    }
    return fail(image.error());
  }
  return image;
}

// The file at `path` as `image` is identified: by the mappings for a mapped
// program, else as stat reports it.
Result<platform::FileIdentity> identity_of(const fs::path& path, const GameImage& image) {
  if (image.mapped) return platform::mapping_identity(path);
  const platform::FileInfo info = QV_TRY(platform::stat_path(path));
  return platform::FileIdentity{info.device, info.inode};
}

// Whether the program `image` is a file of the client at `canonical_root`:
// the reported path, canonicalised, lies inside the root and names the very
// file the process runs. A program unlinked while it runs (replaced by an
// update, say) is placed by the folder it was started from, on the same file
// system. An image inside whose reported path passes through a symbolic link
// fails with "reparse point rejected: {}"; a location that cannot be
// canonicalised fails under "cannot verify candidate executable location".
Result<bool> is_inside_client(const GameImage& image, const fs::path& canonical_root) {
  fs::path located;
  if (image.deleted) {
    auto folder = platform::canonicalize(image.path.parent_path());
    if (!folder && folder.error().is_not_found() && !path_within(image.path.lexically_normal(), canonical_root)) {
      // Its folder is gone too (a copy run from a removed folder elsewhere):
      // the path as reported already places it outside the client.
      return false;
    }
    if (!folder) return fail(folder.error().context(kCannotVerifyLocation));
    located = *folder / image.path.filename();
  } else {
    auto canonical = platform::canonicalize(image.path);
    // Nothing at that path from here: the process runs a file this client
    // does not hold (one seen through another mount namespace, say).
    if (!canonical && canonical.error().is_not_found()) return false;
    if (!canonical) return fail(canonical.error().context(kCannotVerifyLocation));
    located = std::move(*canonical);
  }
  if (!path_within(located, canonical_root) || located == canonical_root) return false;

  auto identity = identity_of(image.deleted ? located.parent_path() : located, image);
  if (!identity && identity.error().is_not_found()) return false;
  if (!identity) return fail(identity.error().context(kCannotVerifyLocation));
  const bool same = image.deleted ? identity->device == image.file.device : *identity == image.file;
  if (!same) return false;
  QV_TRY(reject_reparse_points(image.path));
  return true;
}

void collect_titled_windows(std::set<std::uint32_t>& ids) {
  // No display reachable, a connection that failed or a server that did not
  // answer in time: the window half of the search finds nothing, and the
  // file names still count.
  auto windows = platform::list_top_level_windows();
  if (!windows) return;
  for (const auto& window : *windows) {
    if (window.owner_pid && window.title == kGameWindowTitle) ids.insert(*window.owner_pid);
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

bool is_this_process(std::uint32_t pid) { return pid == platform::process_id(); }

// Confirms, before a request or a signal, that the process held still runs
// the program it was listed with: true when it does, false once it has
// exited; "process identity changed" when it now runs another program.
Result<bool> still_runs(const platform::ProcessHandle& handle, const ProgramIdentity& listed) {
  auto image = process_image_path(handle);
  if (!image) {
    if (is_gone(image.error())) return false;
    return fail(image.error());
  }
  if (!*image || (*image)->identity() != listed) return fail(kIdentityChanged);
  return true;
}

// Asks the windows of the process to close: on this process's display, and
// where none was asked there, on the display named in the game's own
// environment (a game under Wine ends at once on a signal, so its windows are
// worth finding wherever it shows them). True when a window was asked; false
// also once the process has exited.
Result<bool> ask_windows_to_close(const platform::ProcessHandle& handle, const ProgramIdentity& listed) {
  const platform::XDisplay own = platform::own_display();
  // No display reachable, a connection that failed or a server that did not
  // answer in time: no window was asked there.
  auto asked = platform::request_close_of_process_windows(handle.pid(), own);
  if (asked && *asked > 0) return true;
  auto variables = handle.environment(platform::kDisplayVariables);
  if (!variables) return false;
  const platform::XDisplay theirs = platform::display_from_environment(*variables);
  // The same display as before, which answered: nothing more to find there.
  if (theirs.name.empty() || (asked && theirs == own)) return false;
  if (!QV_TRY(still_runs(handle, listed))) return false;
  auto asked_there = platform::request_close_of_process_windows(handle.pid(), theirs);
  return asked_there && *asked_there > 0;
}

// Waits up to `limit` for the process to exit; true once it has.
bool wait_for_exit(const platform::ProcessHandle& handle, std::chrono::steady_clock::duration limit) {
  // A steady clock: time never runs backwards, so the wait cannot be cut
  // short or stretched by a clock change.
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    auto exited = handle.wait_exit(kWaitStepMs);
    if (!exited || *exited) break;
    if (std::chrono::steady_clock::now() - start >= limit) break;
  }
  auto exited = handle.wait_exit(0);
  return exited && *exited;
}

// Asks the process to close and waits; kills it when it has not exited after
// the close wait. Every request and signal goes only to the listed program.
Status close_and_wait(const platform::ProcessHandle& handle, const ProgramIdentity& listed) {
  // Windows are addressed by the id; a process that has already gone is not
  // asked, so a reused id cannot bring a stranger a close request.
  if (auto gone = handle.wait_exit(0); gone && *gone) return {};
  const bool asked_windows = QV_TRY(ask_windows_to_close(handle, listed));
  if (!asked_windows) {
    // No window to ask: the signal is the request. A failure here (the
    // process exiting meanwhile) is settled by the wait below.
    if (!QV_TRY(still_runs(handle, listed))) return {};
    (void)handle.send_signal(SIGTERM);
  }
  if (wait_for_exit(handle, kCloseWait)) return {};
  if (asked_windows) {
    // No window it was asked through closed it (the request may never have
    // reached the process that reads them): the signal asks once more.
    if (!QV_TRY(still_runs(handle, listed))) return {};
    (void)handle.send_signal(SIGTERM);
    if (wait_for_exit(handle, kSignalWait)) return {};
  }
  if (!QV_TRY(still_runs(handle, listed))) return {};
  if (auto killed = handle.send_signal(SIGKILL); !killed && !is_gone(killed.error())) {
    return fail(kTerminateFailed);
  }
  auto gone = handle.wait_exit(kKillWaitMs);
  if (!gone || !*gone) return fail(kDidNotExit);
  return {};
}

Status close_one(const fs::path& canonical_root, const ProcessCandidate& candidate) {
  if (is_this_process(candidate.pid)) return {};
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
  if (!*image) return fail(kIdentityChanged);
  const bool inside = QV_TRY(is_inside_client(**image, canonical_root));
  if (!inside || (*image)->identity() != candidate.program) return fail(kIdentityChanged);
  return close_and_wait(*handle, candidate.program);
}

}  // namespace

bool is_game_file_name(std::string_view name) { return equals_ignoring_ascii_case(name, kGameFileName); }

Result<std::vector<ProcessCandidate>> find_client_game_processes(const fs::path& client_root) {
  const fs::path root = QV_TRY(platform::canonicalize(client_root));
  std::set<std::uint32_t> ids;
  collect_titled_windows(ids);
  QV_TRY(collect_named_processes(ids));

  std::vector<ProcessCandidate> candidates;
  for (std::uint32_t pid : ids) {
    // Whatever claims to be the game, the launcher never closes itself.
    if (is_this_process(pid)) continue;
    bool another_user = false;
    auto inspected = query_candidate(pid, &another_user);
    if (!inspected) {
      // Gone, or an id that names a thread rather than a process.
      if (is_gone(inspected.error())) continue;
      // Another user's process, which this one may not inspect, was not
      // started by this player from this client: it is not this client's
      // game, whatever it is named.
      if (another_user) continue;
      return fail(inspected.error().context(kNotScoped));
    }
    // A kernel thread runs no program: it is nobody's game.
    const auto& image = *inspected;
    if (!image) continue;
    const bool inside = QV_TRY(is_inside_client(*image, root));
    if (inside) candidates.push_back(ProcessCandidate{pid, image->path, image->identity()});
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

Status launch_game(const fs::path& client_root, std::string_view game_exe, const std::vector<std::string>& game_args) {
  const fs::path exe = QV_TRY(resolve_physical_path(client_root, game_exe));
  auto info = platform::stat_path(exe);
  if (!info || info->kind != platform::FileKind::Regular) return fail(kGameMissing);
  auto started = platform::spawn_detached(exe, game_args, client_root);
  if (started) return {};
  // A Windows program runs directly only where Wine's handler for it is
  // registered; elsewhere the loader runs it.
  if (!platform::means_exec_format_error(started.error())) return fail(started.error());
  auto windows = platform::is_windows_program(exe);
  if (!windows || !*windows) return fail(started.error());
  const auto loader = platform::find_wine_loader();
  if (!loader) return fail(kNeedsWine);
  // The loader runs in the client root too: the program's path must not
  // depend on the folder it was started from.
  std::error_code ec;
  const fs::path program = fs::absolute(exe, ec);
  if (ec) return fail(Error::os(ec.value()));
  std::vector<std::string> args{program.string()};
  args.insert(args.end(), game_args.begin(), game_args.end());
  QV_TRY(platform::spawn_detached(*loader, args, client_root));
  return {};
}

}  // namespace qv
