#include "core/install/executor.hpp"

#include <algorithm>
#include <atomic>
#include <limits>
#include <new>
#include <optional>
#include <semaphore>
#include <string>
#include <thread>
#include <unordered_set>

#include <fmt/format.h>

#include "core/formats/pack.hpp"
#include "core/foundations/failpoint.hpp"
#include "core/foundations/fileops.hpp"
#include "core/foundations/hashing.hpp"
#include "core/foundations/paths.hpp"
#include "core/foundations/unicode.hpp"
#include "core/install/ordered_pool.hpp"
#include "platform/durable.hpp"
#include "platform/fs.hpp"

namespace qv {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kCancelledDuringInstallation = "cancelled during installation";
constexpr std::string_view kCancelledBeforeCommit = "cancelled before commit";
constexpr std::string_view kVerificationFailed = "installed file failed verification";
constexpr std::string_view kInstallContext = "install {}";
constexpr std::string_view kVerifyDetail = "ตรวจหลังติดตั้ง {}";
constexpr std::string_view kNoManifestEntry = "install operation {} has no manifest entry";
constexpr std::string_view kAfterBackup = "after-backup-{}";
constexpr std::string_view kDuringInstall = "during-install-{}";
constexpr std::string_view kAfterInstall = "after-install-{}";
constexpr std::string_view kAfterState = "after-state";
constexpr std::string_view kAfterCommitted = "after-committed";
constexpr std::string_view kNotStarted = "operation not started";
// Hashing threads of the verification after the install.
constexpr unsigned kVerifyThreads = 8;
// Operations that run at once when the caller does not choose, one a
// processor: a backup move waits for the disk, an install keeps a processor
// busy.
constexpr unsigned kInstallThreads = 8;
// Of them, installs that decode at once: each holds some 4 MiB (its output
// chunk, a segment, the decompressor's window), so six keep a whole install
// well below its memory budget however many threads move files meanwhile;
// one of them at a time may run a large object on a pipeline of its own.
// More gain nothing here: the disk's writes then set the pace.
constexpr std::ptrdiff_t kInstallsAtOnce = 6;
// How far, in operations per thread, the threads may run ahead of the
// operation whose outcome is taken next.
constexpr std::uint32_t kInstallWindowPerThread = 16;

std::string numbered(std::string_view name, std::uint64_t number) { return fmt::format(fmt::runtime(name), number); }

// The journal that `apply` builds pairs install operation i with manifest
// entry download[i]. Anything else is a fault of the caller, found before a
// client file is touched rather than halfway through the install.
Status check_operations(const Journal& journal, const Manifest& manifest, std::span<const std::uint32_t> download) {
  for (std::size_t i = 0; i < journal.operations.size(); ++i) {
    const Operation& operation = journal.operations[i];
    if (operation.delete_) continue;
    if (i >= download.size() || download[i] >= manifest.files.size() ||
        manifest.files[download[i]].path != operation.path) {
      return fail(numbered(kNoManifestEntry, i));
    }
  }
  for (std::size_t k = 0; k < download.size(); ++k) {
    if (download[k] >= manifest.files.size()) return fail(numbered(kNoManifestEntry, k));
  }
  return {};
}

// What every operation of one install shares.
struct InstallRun {
  const Journal& journal;
  const CancelFlag& cancel;
  const fs::path& root;
  const fs::path& transaction_dir;
  const ClientConfig& config;
  const Manifest& manifest;
  std::span<const std::uint32_t> download;
  bool objects_verified;
};

// Holds one of the installs that may run at once for as long as it lives.
class InstallTurn {
 public:
  explicit InstallTurn(std::counting_semaphore<>* installs) : installs_(installs) {
    if (installs_ != nullptr) installs_->acquire();
  }
  InstallTurn(const InstallTurn&) = delete;
  InstallTurn& operator=(const InstallTurn&) = delete;
  ~InstallTurn() {
    if (installs_ != nullptr) installs_->release();
  }

 private:
  std::counting_semaphore<>* installs_;
};

// Where operation `number` writes: its target under the root and its backup
// path below `{transaction}/backup`.
struct OperationPaths {
  fs::path target;
  fs::path backup;
};

Result<OperationPaths> operation_paths(const InstallRun& run, std::uint64_t number) {
  const Operation& operation = run.journal.operations[number];
  OperationPaths paths;
  paths.target = QV_TRY(resolve_physical_path(run.root, operation.path));
  paths.backup = QV_TRY(join_checked(run.transaction_dir / "backup", operation.path));
  return paths;
}

// The first half of an operation: with `had_old`, the file at the target
// moved into the backup; then the fail point "after-backup-{number}".
Status move_old_aside(const InstallRun& run, std::uint64_t number, const OperationPaths& paths) {
  if (run.journal.operations[number].had_old) {
    QV_TRY(platform::make_directories(paths.backup.parent_path()));
    QV_TRY(replace_file(paths.target, paths.backup));
  }
  fail_point(run.config.allow_loopback_http, numbered(kAfterBackup, number));
  return {};
}

// The second half: unless a delete, the new file installed at `target`; then
// the fail point "after-install-{number}". `installs` (none on one thread)
// bounds the installs that run at once; `pipelines` is shared by them.
Status install_new(const InstallRun& run, std::uint64_t number, const fs::path& target,
                   std::counting_semaphore<>* installs, InstallPipelines* pipelines) {
  if (!run.journal.operations[number].delete_) {
    const FileEntry& entry = run.manifest.files[run.download[number]];
    const fs::path object = QV_TRY(join_checked(run.transaction_dir / "downloads", entry.object));
    const InstallFailpointCheck check{run.cancel, run.config, number, entry};
    InstallObjectOptions options;
    options.flush = false;  // all installed files are flushed together before the commit
    options.pipelines = pipelines;
    options.object_verified = run.objects_verified;
    if (equals_ignoring_ascii_case(entry.path, run.manifest.game_exe)) options.mode = pack::kExecutableMode;
    const InstallWriteCallback on_write = [&check](std::uint64_t written) {
      return check_install_failpoint(check, written);
    };
    const InstallTurn turn(installs);
    QV_TRY_CTX(install_object(object, target, entry, run.manifest.decoder_window_log, on_write, options),
               fmt::format(fmt::runtime(kInstallContext), entry.path));
  }
  fail_point(run.config.allow_loopback_http, numbered(kAfterInstall, number));
  return {};
}

// A whole operation on one thread: the backup move, then the install.
Status run_operation(const InstallRun& run, std::uint64_t number, std::counting_semaphore<>* installs,
                     InstallPipelines* pipelines) {
  const OperationPaths paths = QV_TRY(operation_paths(run, number));
  QV_TRY(move_old_aside(run, number, paths));
  return install_new(run, number, paths.target, installs, pipelines);
}

// Runs `work`, turning a failed allocation into its error: an exception
// escaping a pool thread would end the process.
template <class Work>
Status guarded(Work&& work) {
  try {
    return work();
  } catch (const std::bad_alloc&) {
    return fail(Error::out_of_memory());
  }
}

unsigned install_threads(const ExecutorOptions& options) {
  if (options.threads != 0) return std::min(options.threads, ExecutorOptions::kMaxThreads);
  return std::clamp(std::thread::hardware_concurrency(), 1u, kInstallThreads);
}

// True when no two operations share a target and none lies below another
// one's, letter case aside (as a disk that ignores case would see them):
// then the operations touch disjoint entries and may run in any order with
// the outcome of the journal's order. A release that turns a file into a
// folder is the case where they may not: one thread fails at the later
// operation, and only there.
bool targets_independent(std::span<const Operation> operations) {
  std::unordered_set<std::string> paths;
  paths.reserve(operations.size());
  for (const Operation& operation : operations) {
    // Two operations on one file (letter case aside) run in their order.
    if (!paths.insert(to_lower_full(operation.path)).second) return false;
  }
  for (const std::string& path : paths) {
    for (std::size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1)) {
      if (paths.contains(path.substr(0, slash))) return false;
    }
  }
  return true;
}

// The operations one after the other on the calling thread.
Status run_in_turn(const InstallRun& run, const LineSink& sink, std::uint64_t total_steps) {
  const auto& operations = run.journal.operations;
  for (std::uint64_t i = 0; i < operations.size(); ++i) {
    if (run.cancel.is_cancelled()) return fail(std::string(kCancelledDuringInstallation));
    emit_progress_with_total(sink, Stage::Apply, i, total_steps, ProgressUnit::Steps, operations[i].path);
    QV_TRY(run_operation(run, i, nullptr, nullptr));
    emit_progress_with_total(sink, Stage::Apply, i + 1, total_steps, ProgressUnit::Steps, operations[i].path);
  }
  return {};
}

// The old files of every operation that has one moved into the backup, on
// several threads, before any new file is written: each move is made
// durable on its own (the rollback needs it), and with no file being written
// meanwhile the file system commits each of them at once instead of with the
// data of the installs around it. No move past a failed one is started; a
// cancel stops the moves. Returns the lowest operation whose move failed,
// with its error, as one thread would meet it (its own error or that of
// resolving its paths).
std::optional<std::pair<std::uint32_t, Error>> move_old_files_aside(const InstallRun& run, unsigned threads) {
  const auto& operations = run.journal.operations;
  std::vector<std::uint32_t> moving;
  for (std::uint32_t i = 0; i < operations.size(); ++i) {
    if (operations[i].had_old) moving.push_back(i);
  }
  struct NoScratch {};
  OrderedScan<NoScratch> scan(threads, static_cast<std::uint32_t>(moving.size()),
                              [&](std::uint32_t k, NoScratch&) -> Result<bool> {
                                // The caller meets the cancel before the first operation.
                                if (run.cancel.is_cancelled()) return true;
                                const Status moved = guarded([&]() -> Status {
                                  const OperationPaths paths = QV_TRY(operation_paths(run, moving[k]));
                                  return move_old_aside(run, moving[k], paths);
                                });
                                if (!moved) return std::unexpected(moved.error());
                                return true;
                              });
  for (std::uint32_t k = 0; k < moving.size(); ++k) {
    if (auto moved = scan.take(); !moved) return std::pair{moving[k], std::move(moved).error()};
  }
  return std::nullopt;
}

// The operations on several threads at once. The journal reads "installing"
// throughout, and a rollback needs none of the new files: it undoes each
// operation from what it finds at its target and in the backup, so a crash
// with any set of operations begun, half done or done rolls back as one in
// journal order would. The old files go aside first (move_old_files_aside),
// then the new files are installed. The caller's thread takes the outcomes
// in journal order and reports each as one thread would have: the cancel
// check before an operation's records (after its outcome is in, so a cancel
// that reached the operation itself counts as one seen before it), its
// records, and the first failure in journal order; no operation past a
// failed one is started, and each thread looks at the flag before it starts
// one. Every thread has ended when this returns.
Status run_at_once(const InstallRun& run, const LineSink& sink, std::uint64_t total_steps, unsigned threads) {
  const auto& operations = run.journal.operations;
  const auto count = static_cast<std::uint32_t>(operations.size());
  const auto failed_move = move_old_files_aside(run, threads);
  if (run.cancel.is_cancelled()) return fail(std::string(kCancelledDuringInstallation));

  InstallPipelines pipelines(1);
  std::counting_semaphore<> installs(kInstallsAtOnce);
  // No operation above it starts: the one whose move failed, or a lower
  // one that failed since.
  std::atomic<std::uint32_t> limit{failed_move ? failed_move->first : std::numeric_limits<std::uint32_t>::max()};
  struct NoScratch {};
  OrderedPool<Status, NoScratch> pool(threads, [&](std::uint32_t i, NoScratch&) -> Status {
    if (failed_move && i == failed_move->first) return fail(failed_move->second);
    // Outcomes that nobody takes: a lower operation failed, or the cancel
    // check before this one fails.
    if (i > limit.load() || run.cancel.is_cancelled()) return fail(std::string(kNotStarted));
    Status done = guarded([&]() -> Status {
      if (!operations[i].had_old) return run_operation(run, i, &installs, &pipelines);
      const fs::path target = QV_TRY(resolve_physical_path(run.root, operations[i].path));
      return install_new(run, i, target, &installs, &pipelines);
    });
    if (!done) lower_limit(limit, i);
    return done;
  });
  // Outcomes are a few bytes: the threads may run well ahead of the
  // operation whose outcome is taken next, past a large file.
  const std::uint32_t window = threads * kInstallWindowPerThread;
  std::uint32_t submitted = 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    for (; submitted < count && submitted - i < window; ++submitted) pool.submit(submitted);
    Status done = pool.take();
    if (run.cancel.is_cancelled()) return fail(std::string(kCancelledDuringInstallation));
    emit_progress_with_total(sink, Stage::Apply, i, total_steps, ProgressUnit::Steps, operations[i].path);
    if (!done) return done;
    emit_progress_with_total(sink, Stage::Apply, i + 1, total_steps, ProgressUnit::Steps, operations[i].path);
  }
  return {};
}

// Every installed file is read back once more: what is on disk now, not what
// was written, is what the installed state vouches for. Each file is also
// made durable here, with the folders that hold them, before the state can
// vouch for them: until then a crash leaves the journal at "installing",
// whose rollback does not need them, and flushing them together lets the
// file system write them in a few commits instead of one per file. The work
// is spread over several threads; results, records and the first failure are
// taken in download order, as one thread would give them.
Status verify_and_flush_installed(const fs::path& root, const Manifest& manifest,
                                  std::span<const std::uint32_t> download, const LineSink& sink,
                                  std::uint64_t operations, std::uint64_t total_steps) {
  const auto files = static_cast<std::uint32_t>(download.size());
  // The folders of the installed files, as joined (resolution returns the
  // joined path), each once.
  std::vector<fs::path> folders;
  for (const std::uint32_t index : download) folders.push_back((root / manifest.files[index].path).parent_path());
  std::sort(folders.begin(), folders.end());
  folders.erase(std::unique(folders.begin(), folders.end()), folders.end());

  const unsigned threads = std::clamp(std::thread::hardware_concurrency(), 1u, kVerifyThreads);
  // Work k below `files` verifies and flushes the k-th installed file and
  // gives its digest; work above flushes a folder.
  struct Scratch {
    ReadBuffer buffer;
    std::optional<PhysicalPathCache> paths;  // made on the thread's first file
  };
  OrderedPool<Result<std::string>, Scratch> pool(threads, [&](std::uint32_t k, Scratch& scratch) -> Result<std::string> {
    // An exception escaping a pool thread would end the process; a failed
    // allocation fails only this file.
    try {
      if (k >= files) {
        QV_TRY(platform::flush_directory(folders[k - files]));
        return std::string();
      }
      const FileEntry& entry = manifest.files[download[k]];
      if (!scratch.paths) scratch.paths.emplace(root);
      const fs::path target = QV_TRY(scratch.paths->resolve(entry.path));
      std::string digest = QV_TRY(hash_file(target, entry.algorithm, scratch.buffer.get()));
      auto fd = QV_TRY(platform::open_for_read_no_follow(target));
      QV_TRY(platform::flush_fd(fd.get()));
      return digest;
    } catch (const std::bad_alloc&) {
      return fail(Error::out_of_memory());
    }
  });
  std::uint32_t next = 0;
  const auto decide = [&](Result<std::string> digest) -> Status {
    if (!digest) return fail(digest.error());
    if (next++ >= files) return {};
    const FileEntry& entry = manifest.files[download[next - 1]];
    if (*digest != entry.digest) return fail(std::string(kVerificationFailed));
    emit_progress_with_total(sink, Stage::Apply, operations + next, total_steps, ProgressUnit::Steps,
                             fmt::format(fmt::runtime(kVerifyDetail), entry.path));
    return {};
  };
  const auto count = static_cast<std::uint32_t>(files + folders.size());
  const std::size_t window = std::size_t{threads} * 4;
  for (std::uint32_t k = 0; k < count; ++k) {
    if (pool.pending() >= window) QV_TRY(decide(pool.take()));
    pool.submit(k);
  }
  while (pool.pending() > 0) QV_TRY(decide(pool.take()));
  return {};
}

}  // namespace

Status check_install_failpoint(const InstallFailpointCheck& check, std::uint64_t /*written*/) {
  if (check.cancel.is_cancelled()) return fail(std::string(kCancelledDuringInstallation));
  const bool armed = check.config.allow_loopback_http;
  fail_point(armed, numbered(kDuringInstall, check.operation));
  return injected_install_failure(armed, check.operation, check.entry.path);
}

Status apply_operations(Journal& journal, const CancelFlag& cancel, const LineSink& sink, std::uint64_t total_steps,
                        const fs::path& root, const PreparedCheck& check, const ClientConfig& config,
                        const Manifest& manifest, std::span<const std::uint32_t> download, const fs::path& state_path,
                        std::string_view state_bytes, const ExecutorOptions& options) {
  QV_TRY(check_operations(journal, manifest, download));
  // What the installs kept for one another is freed once they are done,
  // whatever the outcome: the launcher runs on after an install.
  struct ReleaseKept {
    ~ReleaseKept() { release_kept_install_memory(); }
  } release_kept;
  const InstallRun run{journal, cancel, root, check.transaction_dir, config, manifest, download,
                       options.objects_verified};
  const unsigned threads = install_threads(options);
  if (threads > 1 && journal.operations.size() > 1 && targets_independent(journal.operations)) {
    QV_TRY(run_at_once(run, sink, total_steps, threads));
  } else {
    QV_TRY(run_in_turn(run, sink, total_steps));
  }
  const std::uint64_t operations = journal.operations.size();

  QV_TRY(verify_and_flush_installed(root, manifest, download, sink, operations, total_steps));

  if (cancel.is_cancelled()) return fail(std::string(kCancelledBeforeCommit));
  QV_TRY(write_file_atomic(state_path, state_bytes));
  fail_point(config.allow_loopback_http, kAfterState);
  journal.phase = journal_phase::kCommitted;
  QV_TRY(write_journal(check.transaction_dir, journal));
  fail_point(config.allow_loopback_http, kAfterCommitted);
  return {};
}

}  // namespace qv
