// The game client as a running program: finding the game processes of this
// client, closing them before files are replaced (and on STOP GAME), and
// starting the game for PLAY.
//
// A process is a game candidate when its executable file is named
// "zEntry.exe" (ASCII letters in any case) or when it owns a top-level window
// titled exactly "QV Online" (the owner as the X server knows it, never as the
// window claims); it belongs to this client only when its executable lies
// inside the canonical client root, compared component by component and
// case-sensitively, and is the very file found there (device and inode), not
// merely a file of the same name. A Windows game run by Wine is identified by
// the Windows program the loader has mapped. The launcher's own process is
// never a candidate. Nothing here keeps state or writes to the diagnostics
// log; callers do.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.hpp"

namespace qv {

// The program file a process runs: its device and inode as the process's
// executable shows them or, for a Windows program mapped by its loader, as the
// process's mappings show them (`mapped`).
struct ProgramIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  bool mapped = false;

  bool operator==(const ProgramIdentity&) const = default;
};

// One running game process of this client: its id, its executable as the
// system reports it for the process, and the program file it was found
// running, which the close confirms before it asks or signals anything.
struct ProcessCandidate {
  std::uint32_t pid = 0;
  std::filesystem::path image;
  ProgramIdentity program;

  bool operator==(const ProcessCandidate&) const = default;
};

// The game processes of the client at `client_root` (canonicalised first; its
// error is returned unchanged), ascending by id, each id once. A candidate
// that cannot be inspected for a reason other than its having exited ends
// the search with "candidate game process could not be scoped safely;
// patching stopped" over the cause, unless it is another user's process that
// this one may not inspect: that cannot be this player's game started from
// this client, and is passed over. An id that names no process (a thread's,
// a kernel thread's) is no candidate. Windows are looked at only when a
// display answers within a few seconds. Any thread; takes a snapshot that may
// be stale on return.
Result<std::vector<ProcessCandidate>> find_client_game_processes(const std::filesystem::path& client_root);

// Closes every game process of the client at `client_root` (resolve_write_root
// first, its error returned): each is asked to close (WM_DELETE_WINDOW to its
// windows on this process's display, else on the display named in the game's
// own environment; SIGTERM when it has a window on neither) and waited for up
// to 5 seconds; one that asked only by its windows then gets SIGTERM and 2
// more seconds; then it is killed. Returns the candidates found at the start,
// those that exited on their own included, or the first error; later
// candidates are then left running. Blocks for seconds: call it on a job
// thread.
Result<std::vector<ProcessCandidate>> close_client_game(const std::filesystem::path& client_root);

// The close loop of close_client_game over a given list, for a canonical
// root. Each process is re-identified through a pidfd before anything is
// sent to it, and again before every later request or signal: one whose
// executable now lies outside the root, or is not the listed program file
// (an id reused by another program, a program that executed another),
// fails with "process identity changed"; one that has exited is skipped, and
// so is the launcher's own process.
Status close_candidates(const std::filesystem::path& canonical_root, std::span<const ProcessCandidate> candidates);

// Starts the release's game executable `game_exe` (a client-relative path,
// resolved inside `client_root`; must be a regular file, else "game
// executable missing") with `game_args` as its arguments, each one argument,
// and `client_root` as its working folder, and returns at once. A Windows
// program that this system cannot execute directly (Wine's handler is not
// registered) is started through the Wine loader instead, with the same
// arguments and folder; with no Wine either it fails with "this game is a
// Windows program and needs Wine; no wine was found". Any other failure to
// start is the operating-system error. The game inherits no descriptor
// besides the standard streams and is reaped when it exits.
// Any thread; nothing waits for the game or watches it.
Status launch_game(const std::filesystem::path& client_root, std::string_view game_exe,
                   const std::vector<std::string>& game_args);

// True for a file name of exactly "zEntry.exe" with ASCII letters compared
// without regard to case and every other byte exactly.
bool is_game_file_name(std::string_view name);

}  // namespace qv
