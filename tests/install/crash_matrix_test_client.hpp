// A client that a crashed engine run left behind, and what must follow: a
// client on an old release, its new release served by the loopback server,
// the engine driver run on it as a real child process, and the checks that
// the next launcher recovers it to the release its journal names, that a
// second recovery changes nothing, and that a further check and apply reach
// the new release without fetching again an object byte already on disk.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/foundations/config.hpp"
#include "support/child_process.hpp"
#include "support/install_fixture.hpp"
#include "support/loopback_server.hpp"
#include "support/tree_snapshot.hpp"

namespace qv::test {

enum class Side { Old, New };

class ServedChange {
 public:
  // Serves `new_release` and places `old_release` into the client of
  // `client`, with its installed state when `with_state`; launcher.json
  // (loopback http, so the fail points are armed) goes beside the client
  // folder.
  ServedChange(ClientFixture& client, const PublishedRelease& old_release, const PublishedRelease& new_release,
               bool with_state);

  // Puts the client back on the old release: the client folder, which this
  // fixture made, is removed whole and placed again, with the settled
  // transaction folders that earlier runs leave beside it: an abandoned check,
  // a rolled-back install holding the first half of the new game
  // executable's object, a finished self-update and a recovery updater's
  // folder.
  void reset();
  // The names of those settled folders.
  const std::vector<std::string>& settled_folders() const { return settled_; }

  const ClientConfig& config() const { return config_; }
  const std::filesystem::path& root() const { return config_.root; }
  LoopbackServer& server() { return server_; }
  bool with_state() const { return with_state_; }
  const PublishedRelease& new_release() const { return new_release_; }

  // The client's files (without .launcher) on each side of the change, and
  // the installed state each side has (none: no state file).
  const TreeSnapshot& tree(Side side) const { return side == Side::Old ? old_tree_ : new_tree_; }
  std::optional<std::string> state(Side side) const;

  // The engine driver on this client: `command` and its arguments, with
  // QV_TEST_FAILPOINT set to `fail_point` when it is not empty.
  Child start_driver(const std::vector<std::string>& command, const std::string& fail_point = {}) const;

 private:
  ClientFixture& client_;
  const PublishedRelease& old_release_;
  const PublishedRelease& new_release_;
  bool with_state_;
  LoopbackServer server_;
  std::filesystem::path config_file_;
  ClientConfig config_;
  TreeSnapshot old_tree_;
  TreeSnapshot new_tree_;
  std::vector<std::string> settled_;
};

// What a crashed run left and what the recovery made of it.
struct CrashOutcome {
  // The journal's phase when the child had ended; "none" without a journal.
  std::string phase;
  // The release the phase says the client holds.
  Side side = Side::Old;
  // Object bytes present in the transaction folders after the crash, of the
  // objects the further apply needed, and what the server sent for them.
  std::uint64_t held = 0;
  std::uint64_t fetched = 0;
};

// After a driver run on `served` has ended: a fresh prepare (which recovers)
// must leave the client's files and installed state on the side the journal
// names; a second recovery must change nothing under .launcher or elsewhere;
// a further check and apply must reach the new release, the server sending
// each needed object exactly the bytes that no transaction folder held, and
// leave no transaction folder behind. Reports failures through the test
// framework.
CrashOutcome recover_and_finish(ServedChange& served);

// "old" or "new".
const char* side_name(Side side);

}  // namespace qv::test
