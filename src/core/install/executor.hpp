// The install executor: carries out the file operations of one install, as the
// journal lists them, on the live client folder, then verifies every installed
// file, writes the installed state and marks the journal "committed".
//
// Every failure ends the call at once with nothing undone: what is on disk and
// what the journal says is exactly what `rollback` expects. The test hooks of
// an install live here too (the fail points "after-backup-{}",
// "during-install-{}", "after-install-{}", "after-state", "after-committed"
// and the injected failure "error-during-install-{}"), armed only by
// `allow_loopback_http`.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string_view>

#include "core/foundations/config.hpp"
#include "platform/error.hpp"
#include "core/foundations/progress.hpp"
#include "core/formats/manifest.hpp"
#include "core/install/check.hpp"
#include "core/install/journal.hpp"

namespace qv {

// The write callback of one install operation, called by `install_object`
// after every chunk it wrote to the target.
struct InstallFailpointCheck {
  const CancelFlag& cancel;
  const ClientConfig& config;
  std::uint64_t operation;  // the operation's number, from 0
  const FileEntry& entry;
};

// Fails with "cancelled during installation" when the flag is set; then the
// fail point "during-install-{operation}" (ends the process with exit code
// 77); then, armed, the injected "injected write failure during {entry path}"
// for "error-during-install-{operation}". `written` (bytes so far) is not
// used. Since it runs after a chunk, a file of zero bytes never reaches it.
Status check_install_failpoint(const InstallFailpointCheck& check, std::uint64_t written);

struct ExecutorOptions {
  // Operations that run at once; 0 picks by the processors. Whatever the
  // number, the records, the lines and the first error are those of the
  // operations run one after the other in journal order.
  unsigned threads = 0;
  static constexpr unsigned kMaxThreads = 16;
  // Every object was verified (verify_object_file) in this transaction under
  // the client lock the caller holds, as apply's Validate stage does: passed
  // on to install_object (InstallObjectOptions::object_verified).
  bool objects_verified = false;
};

// Runs the journal's operations in order. Per operation i: the cancel check
// ("cancelled during installation"); Apply progress i/total with the path;
// the target resolved under `root` and the backup path below
// `{transaction}/backup`; with `had_old`, the target moved into the backup;
// fail point "after-backup-{i}"; unless a delete, the file installed from
// `{transaction}/downloads/{object}` of manifest entry `download[i]` (the
// game executable with mode 0755), errors wrapped as "install {path}"; fail
// point "after-install-{i}"; Apply progress i+1/total. Then every file of
// `download` is hashed again ("installed file failed verification"; Apply
// progress operations+k+1 with "ตรวจหลังติดตั้ง {path}", in order, the hashing
// spread over several threads), every installed file and its folder flushed
// (installs do not flush one by one: nothing relies on them before the
// commit, and a crash before it rolls back), the cancel check
// ("cancelled before commit"), `state_bytes` written to `state_path`, fail
// point "after-state", the journal's phase set to "committed" and written,
// fail point "after-committed".
//
// With more than one thread (`options`), every old file is moved into the
// backup first, then the new files are installed, each on several threads,
// while the records, the cancel checks and the first error are taken in
// journal order on the calling thread exactly as one thread would meet them
// (a cancel that reached a running operation counts as seen before it; an
// installed file tells the kernel to start writing it out). Operations on
// one target, or whose targets lie one below another (letter case aside),
// run one after the other. Every thread has ended when this returns.
//
// `total_steps` is the operations plus the files plus 1; the last step is
// reported by the caller. A journal whose install operations do not match
// `download` and the manifest fails before anything is touched. The caller
// holds the client lock and has written the journal with phase "installing".
Status apply_operations(Journal& journal, const CancelFlag& cancel, const LineSink& sink, std::uint64_t total_steps,
                        const std::filesystem::path& root, const PreparedCheck& check, const ClientConfig& config,
                        const Manifest& manifest, std::span<const std::uint32_t> download,
                        const std::filesystem::path& state_path, std::string_view state_bytes,
                        const ExecutorOptions& options = {});

}  // namespace qv
