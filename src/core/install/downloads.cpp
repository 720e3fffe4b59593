#include "core/install/downloads.hpp"

#include <algorithm>
#include <array>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include <fmt/format.h>

#include "core/foundations/network.hpp"
#include "core/foundations/paths.hpp"
#include "core/foundations/url.hpp"
#include "platform/fs.hpp"

namespace qv {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kDownloadThreads = 4;

namespace text {
constexpr std::string_view kThreadFailed = "download thread failed: {}";
constexpr std::string_view kIndexOutside = "download index {} outside the manifest's {} files";
}  // namespace text

void send_downloading(const LineSink& sink, const FileEntry& entry, std::uint64_t received) {
  sink(fmt::format("Downloading {}: {}/{} bytes", entry.path, received, entry.object_bytes));
}

void store_error(DownloadContext& context, Error error) {
  std::lock_guard lock(context.error_mutex);
  context.error = std::move(error);
}

bool error_stored(DownloadContext& context) {
  std::lock_guard lock(context.error_mutex);
  return context.error.has_value();
}

Error thread_failure(std::string_view what) { return Error(fmt::format(fmt::runtime(text::kThreadFailed), what)); }

// The error of a thread that failed abnormally, for the slot. Building it may
// itself run out of memory; then the text made before any work stands in.
void store_thread_failure(DownloadContext& context, std::string_view what, const std::optional<Error>& prepared) {
  try {
    store_error(context, thread_failure(what));
  } catch (...) {
    if (prepared) store_error(context, *prepared);
  }
}

// This thread's turn at one object: waits while another thread works on it.
// False when the turn before failed: its error is already in the slot.
class ObjectTurn {
 public:
  ObjectTurn(ObjectTurns& turns, std::string_view object) : turns_(turns) {
    std::unique_lock lock(turns_.mutex);
    auto& state = turns_.objects.try_emplace(object).first->second;
    turns_.released.wait(lock, [&] { return !state.busy; });
    if (state.failed) return;
    state.busy = true;
    state_ = &state;
  }
  ObjectTurn(const ObjectTurn&) = delete;
  ObjectTurn& operator=(const ObjectTurn&) = delete;
  // A turn left without `finish` (an exception) counts as failed.
  ~ObjectTurn() { finish(false); }

  bool granted() const { return state_ != nullptr; }

  void finish(bool succeeded) noexcept {
    if (state_ == nullptr) return;
    {
      std::lock_guard lock(turns_.mutex);
      state_->busy = false;
      if (!succeeded) state_->failed = true;
    }
    state_ = nullptr;
    turns_.released.notify_all();
  }

 private:
  ObjectTurns& turns_;
  ObjectTurns::Object* state_ = nullptr;
};

// Steps one object through: reuse what is on disk, then fetch the rest.
Status download_entry(DownloadContext& context, std::size_t position, const FileEntry& entry) {
  const fs::path object_file = QV_TRY(join_checked(context.check.transaction_dir / "downloads", entry.object));
  if (!platform::lstat_path(object_file)) QV_TRY(take_object_from_siblings(context.siblings, entry, object_file));

  const std::string url =
      QV_TRY(object_url(context.config.object_base_url, entry.object, context.config.allow_loopback_http));
  const auto held = platform::lstat_path(object_file);
  const std::uint64_t held_bytes = held ? held->size : 0;
  record_download_progress(context.progress, position, held_bytes, entry.path);
  send_downloading(context.sink, entry, held_bytes);

  const ByteProgress on_object_progress = [&](std::uint64_t received) {
    record_download_progress(context.progress, position, received, entry.path);
    send_downloading(context.sink, entry, received);
  };
  return download_file(url, object_file, entry.object_bytes, entry.object_bytes, context.config.allow_loopback_http,
                       context.cancel, on_object_progress);
}

// One position of the list. False when this thread must stop; any error is
// in the slot by then, stored before another thread waiting on the same
// object is let go.
bool download_position(DownloadContext& context, std::size_t position) {
  const std::uint32_t index = context.download[position];
  const auto& files = context.manifest.files;
  if (index >= files.size()) {
    store_error(context, Error(fmt::format(fmt::runtime(text::kIndexOutside), index, files.size())));
    return false;
  }
  const FileEntry& entry = files[index];

  ObjectTurn turn(context.turns, entry.object);
  if (!turn.granted()) return false;
  Status fetched;
  try {
    fetched = download_entry(context, position, entry);
  } catch (const std::exception& failure) {
    fetched = fail(thread_failure(failure.what()));
  } catch (...) {
    fetched = fail(thread_failure("unknown exception"));
  }
  if (!fetched) {
    store_error(context, std::move(fetched).error());
    return false;
  }
  turn.finish(true);
  return true;
}

void run_worker(DownloadContext& context) {
  for (;;) {
    if (context.cancel.is_cancelled()) return;
    if (error_stored(context)) return;
    const std::size_t position = context.next.fetch_add(1);
    if (position >= context.download.size()) return;
    if (!download_position(context, position)) return;
  }
}

}  // namespace

void record_download_progress(DownloadProgress& progress, std::size_t position, std::uint64_t received,
                              std::string_view detail) {
  std::lock_guard lock(progress.mutex);
  if (position >= progress.counters.size() || position >= progress.download.size()) return;
  const std::uint32_t index = progress.download[position];
  if (index >= progress.manifest.files.size()) return;
  progress.counters[position] = std::min(received, progress.manifest.files[index].object_bytes);
  std::uint64_t sum = 0;
  for (const std::uint64_t counter : progress.counters) sum += counter;
  emit_progress_with_total(progress.sink, Stage::Download, sum, progress.total, ProgressUnit::Bytes, detail);
}

void download_worker(DownloadContext& context) {
  // Made before any work, for a failure that leaves no memory to describe it.
  std::optional<Error> out_of_memory;
  try {
    out_of_memory.emplace(fmt::format(fmt::runtime(text::kThreadFailed), std::bad_alloc().what()));
    run_worker(context);
  } catch (const std::exception& failure) {
    store_thread_failure(context, failure.what(), out_of_memory);
  } catch (...) {
    store_thread_failure(context, "unknown exception", out_of_memory);
  }
}

void spawn_download_workers(DownloadContext& context) {
  std::array<std::jthread, kDownloadThreads> threads;
  try {
    for (auto& thread : threads) thread = std::jthread([&context] { download_worker(context); });
  } catch (const std::exception& failure) {
    // The threads already running see the error before their next object.
    store_thread_failure(context, failure.what(), std::nullopt);
  }
  for (auto& thread : threads) {
    if (thread.joinable()) thread.join();
  }
}

Result<std::vector<fs::path>> resolve_physical_paths(std::span<const Operation> operations, const fs::path& root) {
  std::vector<fs::path> paths;
  paths.reserve(operations.size());
  for (const Operation& operation : operations) paths.push_back(QV_TRY(resolve_physical_path(root, operation.path)));
  return paths;
}

std::optional<Error> with_validate_context(std::optional<Error> error, const FileEntry& entry) {
  if (!error) return std::nullopt;
  return error->context(fmt::format("validate {}", entry.path));
}

}  // namespace qv
