// Real clients and real install transactions for the tests of the install
// engine: a client folder, releases published for it with the test release
// builder (real signed manifests, real encrypted objects), transaction folders
// laid out as a check leaves them, and the install sequence that apply runs
// around the executor.
//
// Failures of the fixture itself throw std::runtime_error: this is test code.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/foundations/config.hpp"
#include "platform/error.hpp"
#include "core/foundations/progress.hpp"
#include "core/install/check.hpp"
#include "core/install/executor.hpp"
#include "core/install/journal.hpp"
#include "support/release_builder.hpp"
#include "support/tree_snapshot.hpp"

namespace qv::test {

// The bytes as text, for comparing with a file read back.
std::string_view as_text(const Bytes& bytes);

// A client file of a release: where it goes and what it holds.
struct ClientFile {
  std::string path;
  std::string content;
};

struct PublishedRelease {
  Manifest manifest;
  Bytes envelope;  // manifest.qvm
  std::filesystem::path dir;
  std::vector<ClientFile> files;
};

class ClientFixture {
 public:
  // The client is `base`/client; releases are published beside it. Sets the
  // umask to 022 so that file modes are the same in every run.
  explicit ClientFixture(const std::filesystem::path& base, std::uint8_t key_seed = 1);

  const std::filesystem::path& root() const { return root_; }
  const ReleaseKeys& keys() const { return keys_; }
  // The client's configuration; `armed` is `allow_loopback_http`, which arms
  // the fail points.
  ClientConfig config(bool retain = false, bool armed = true) const;

  // Publishes release `number`: `files` in order (the first is the game
  // executable) and the delete list `deletes`.
  const PublishedRelease& publish(std::uint64_t number, const std::vector<ClientFile>& files,
                                  const std::vector<std::string>& deletes = {});

  // Writes the release's files into the client as they are and, with
  // `state`, its manifest.qvm as the installed state.
  void place(const PublishedRelease& release, bool state = true) const;

  // A new transaction folder as a check leaves it for moving the client to
  // `release`: its manifest.qvm, and the objects of the files of `download`
  // (indices into the release's files) under downloads/.
  PreparedCheck prepare(const PublishedRelease& release, const std::vector<std::uint32_t>& download,
                        const std::vector<std::string>& deletes) const;

  // The client without `.launcher`, and the whole root.
  TreeSnapshot client_tree() const;
  TreeSnapshot whole_tree() const;

 private:
  std::filesystem::path base_;
  std::filesystem::path root_;
  ReleaseKeys keys_;
  std::vector<std::unique_ptr<PublishedRelease>> releases_;
};

// The four-operation release change the crash tests run: release 1 holds
// "bin/game.exe" (1.5 MiB), "keep.txt" and "old.txt"; release 2 replaces the
// game executable, keeps "keep.txt", creates "new/dir/file.txt" in a new
// folder and the empty "empty.txt", and deletes "old.txt". The client starts
// on release 1 with its installed state.
struct ReleaseChange {
  explicit ReleaseChange(const std::filesystem::path& base);
  ClientFixture client;
  const PublishedRelease* old_release = nullptr;
  const PublishedRelease* new_release = nullptr;
  PreparedCheck check;    // operations 0 to 3: replace, create in a new folder, create empty, delete
  TreeSnapshot old_tree;  // the client on release 1, as placed
  TreeSnapshot new_tree;  // the client on release 2, as an install makes it
};

// The steps before the executor, as apply takes them: the operations
// (installs for the plan's downloads, `had_old` from what stands at each
// target, then its deletes), the copy of the installed state as
// previous-manifest.qvm, and the journal written at "prepared" then
// "installing".
struct StartedInstall {
  Journal journal;
  std::filesystem::path state_path;
  std::string state_bytes;  // the transaction's manifest.qvm
  std::uint64_t total_steps = 0;
};
Result<StartedInstall> start_install(const ClientConfig& config, const PreparedCheck& check);

// The executor on a started install.
Status execute(const ClientConfig& config, const PreparedCheck& check, StartedInstall& install,
               const CancelFlag& cancel, const LineSink& sink, const ExecutorOptions& options = {});

// The install sequence that apply runs once its objects are verified:
// `start_install`, the executor; on its failure a "install/rollback" record
// and line, the rollback and the error (or "{}; rollback also failed: {}");
// on success "complete" and the removal of the folder unless retained.
// `journal`, when given, receives the journal as it ended; `options` go to
// the executor.
Status run_install(const ClientConfig& config, const PreparedCheck& check, const CancelFlag& cancel,
                   const LineSink& sink, Journal* journal = nullptr, const ExecutorOptions& options = {});

// The journal of a transaction folder, read back.
Journal journal_of(const std::filesystem::path& transaction_dir);
// The phases of its event log, line by line.
std::vector<std::string> logged_phases(const std::filesystem::path& transaction_dir);

}  // namespace qv::test
