// Fetching the content objects of an install: four threads share one work
// counter, one error slot and one progress table. Bytes already on disk (a
// partial object of this transaction, an object in another transaction folder
// of the client, moved in or copied: sibling_objects.hpp) are reused before
// any request.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/formats/manifest.hpp"
#include "core/foundations/config.hpp"
#include "platform/error.hpp"
#include "core/foundations/progress.hpp"
#include "core/install/check.hpp"
#include "core/install/journal.hpp"
#include "core/install/sibling_objects.hpp"

namespace qv {

// The Download-stage bookkeeping shared by the threads: one counter per
// position of the download list, under one mutex.
struct DownloadProgress {
  DownloadProgress(const Manifest& m, std::span<const std::uint32_t> list, std::uint64_t bytes, const LineSink& s)
      : manifest(m), download(list), total(bytes), sink(s), counters(list.size(), 0) {}

  const Manifest& manifest;
  std::span<const std::uint32_t> download;
  // The plan's `download_bytes`.
  std::uint64_t total;
  const LineSink& sink;

  std::mutex mutex;
  std::vector<std::uint64_t> counters;  // under `mutex`
};

// Entries of the list that name one object (identical files) must not fetch it
// at once: two threads appending to one file would corrupt it. The first
// thread to reach an object holds it while it works; a thread with another
// entry of the same object waits until it is let go, then takes its own turn,
// which finds the object complete and asks nothing of the server; after a
// failed turn it stops without an error of its own. Its mutex is never held
// together with the error slot's or the progress table's.
struct ObjectTurns {
  struct Object {
    bool busy = false;
    bool failed = false;
  };
  std::mutex mutex;
  std::condition_variable released;
  std::map<std::string_view, Object> objects;  // keys borrow the manifest's `object` texts
};

// What `apply` lends the four threads for the duration of the downloads;
// every item is borrowed.
struct DownloadContext {
  const CancelFlag& cancel;
  std::mutex error_mutex;
  std::optional<Error> error;  // under `error_mutex`; the error stored last
  std::atomic<std::size_t> next{0};
  std::span<const std::uint32_t> download;
  const Manifest& manifest;
  const PreparedCheck& check;
  const ClientConfig& config;
  DownloadProgress& progress;
  const LineSink& sink;
  // The other transaction folders, looked at once before the downloads
  // (list_sibling_transactions); an object this transaction lacks is taken
  // from them first.
  std::span<const SiblingFolder> siblings{};
  // Built empty; belongs to the threads while they run.
  ObjectTurns turns{};
};

// Starts exactly four threads running `download_worker` on `context` and
// returns when all four have ended. The outcome is in `context.error`: none
// when every object is complete or the cancel flag stopped the threads
// between objects. A thread that cannot be started leaves "download thread
// failed: {what}" there; the ones already running are still joined.
void spawn_download_workers(DownloadContext& context);

// The body of one download thread: takes positions until the list is done,
// the cancel flag is set or the slot holds an error, and stores its own error
// there. Never throws: an exception (a failed allocation included) ends the
// thread with "download thread failed: {what}" in the slot.
void download_worker(DownloadContext& context);

// Stores the bytes received at `position` (at most the entry's
// `object_bytes`) and emits the Download-stage total, under the table's lock.
void record_download_progress(DownloadProgress& progress, std::size_t position, std::uint64_t received,
                              std::string_view detail);

// The physical path of each operation's `path` under the canonical `root`,
// in order; the first failure ends it.
Result<std::vector<std::filesystem::path>> resolve_physical_paths(std::span<const Operation> operations,
                                                                  const std::filesystem::path& root);

// None without an error; otherwise the error under "validate {path}".
std::optional<Error> with_validate_context(std::optional<Error> error, const FileEntry& entry);

}  // namespace qv
