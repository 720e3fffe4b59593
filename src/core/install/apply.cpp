#include "core/install/apply.hpp"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <new>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "core/formats/pack.hpp"
#include "core/foundations/diagnostics.hpp"
#include "core/foundations/diskspace.hpp"
#include "core/foundations/failpoint.hpp"
#include "core/foundations/fileops.hpp"
#include "core/foundations/lock.hpp"
#include "core/foundations/network.hpp"
#include "core/foundations/paths.hpp"
#include "core/foundations/processes.hpp"
#include "core/foundations/url.hpp"
#include "core/install/case_variants.hpp"
#include "core/install/downloads.hpp"
#include "core/install/executor.hpp"
#include "core/install/installed_state.hpp"
#include "core/install/journal.hpp"
#include "core/install/ordered_pool.hpp"
#include "core/install/plan.hpp"
#include "core/install/reclaim.hpp"
#include "core/install/recovery.hpp"
#include "core/install/report_error.hpp"
#include "core/install/rollback.hpp"
#include "core/install/sibling_objects.hpp"
#include "platform/fs.hpp"

namespace qv {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kPreviousManifestFile = "previous-manifest.qvm";
constexpr std::string_view kDownloadsFolder = "downloads";
constexpr std::uint64_t kSpaceMargin = 67108864;  // 64 MiB
// Threads that verify objects at once when the caller does not choose, and
// how many objects per thread they may verify ahead of the one whose outcome
// is taken next.
constexpr unsigned kValidateThreads = 8;
constexpr std::uint32_t kValidateWindowPerThread = 4;

constexpr std::string_view kRootChanged = "root changed";
constexpr std::string_view kAlreadyApplied =
    "This transaction was already applied or rolled back; check again to create a new attempt";
constexpr std::string_view kReleaseSuperseded = "prepared release superseded";
constexpr std::string_view kSpaceOverflow = "space overflow";
constexpr std::string_view kCancelled = "cancelled; artifacts retained";
constexpr std::string_view kArtifactsRetained = "Test artifacts retained.";

constexpr std::string_view kClosingLine = "Closing this client's game processes...";
constexpr std::string_view kVerifyingLine = "Verifying {}";
constexpr std::string_view kRetryingLine = "Retrying {} from byte zero after verification failure";
constexpr std::string_view kInstalledLine = "Release {} installed. {}";
constexpr std::string_view kRetryRecord = "{}: {}";
constexpr std::string_view kRollbackFailed = "{}; rollback also failed: {}";
constexpr std::string_view kCleanupPending = "Patch complete; cleanup pending: {}";
constexpr std::string_view kOutsideManifest = "internal error: planned file outside the manifest";
constexpr std::string_view kGameIdentity = "zEntry.exe / QV Online";
constexpr std::string_view kReadyToInstall = "พร้อมติดตั้ง";
constexpr std::string_view kProbing = "ตรวจไฟล์ล็อกและเตรียมสำรอง";
constexpr std::string_view kStateSaved = "บันทึกสถานะเรียบร้อย";
constexpr std::string_view kDone = "เสร็จสมบูรณ์";

// Everything before the lock: no record of a lock to release yet.
Result<fs::path> checked_root(const ClientConfig& config, const PreparedCheck& check) {
  fs::path root = QV_TRY(resolve_write_root(config.root));
  if (root != check.root) return fail(std::string(kRootChanged));
  return root;
}

Status refuse_used_transaction(const fs::path& transaction_dir) {
  auto info = platform::lstat_path(transaction_dir / kJournalFile);
  if (info) return fail(std::string(kAlreadyApplied));
  if (!info.error().is_not_found()) return std::unexpected(info.error());
  return {};
}

Status cancelled_check(const CancelFlag& cancel) {
  if (cancel.is_cancelled()) return fail(std::string(kCancelled));
  return {};
}

Status download_objects(const ClientConfig& config, const PreparedCheck& check, const Manifest& manifest,
                        const Plan& plan, std::span<const SiblingFolder> siblings, const CancelFlag& cancel,
                        const LineSink& sink) {
  emit_progress_with_total(sink, Stage::Download, 0, plan.download_bytes, ProgressUnit::Bytes, "");
  DownloadProgress progress(manifest, plan.download, plan.download_bytes, sink);
  DownloadContext context{.cancel = cancel,
                          .error_mutex = {},
                          .error = std::nullopt,
                          .next = {0},
                          .download = plan.download,
                          .manifest = manifest,
                          .check = check,
                          .config = config,
                          .progress = progress,
                          .sink = sink,
                          .siblings = siblings};
  spawn_download_workers(context);
  if (context.error) return std::unexpected(std::move(*context.error));
  return {};
}

// The fetch from byte zero of an object that failed its verification with
// `first`, and its verification again; the bad file is kept aside for
// diagnosis.
Status refetch_and_verify(const fs::path& root, const ClientConfig& config, const fs::path& object,
                          const FileEntry& entry, const Error& first, const CancelFlag& cancel, const LineSink& sink) {
  sink(record_error(root, "validate/retry", fmt::format(fmt::runtime(kRetryRecord), entry.path, first.to_string())));

  fs::path aside = object;
  aside.replace_extension(random_hex_id() + ".invalid");
  QV_TRY(replace_file(object, aside));
  sink(fmt::format(fmt::runtime(kRetryingLine), entry.path));

  const std::string url = QV_TRY(object_url(config.object_base_url, entry.object, config.allow_loopback_http));
  QV_TRY(download_file(url, object, entry.object_bytes, entry.object_bytes, config.allow_loopback_http, cancel,
                       [](std::uint64_t) {}));
  auto second = verify_object_file(object, entry);
  if (!second) return std::unexpected(*with_validate_context(std::move(second).error(), entry));
  return {};
}

unsigned validate_threads(const ApplyOptions& options) {
  if (options.threads != 0) return std::min(options.threads, ApplyOptions::kMaxThreads);
  return std::clamp(std::thread::hardware_concurrency(), 1u, kValidateThreads);
}

// The objects are verified on several threads while this thread takes the
// outcomes in download order and does everything else as one thread would:
// the cancel check, the lines, a fetch from byte zero and the records. An
// object fetched anew changes what its other entries (identical files) would
// find, so their outcomes, taken on other threads before it, are taken again
// here.
Status validate_objects(const fs::path& root, const ClientConfig& config, const PreparedCheck& check,
                        const Manifest& manifest, const Plan& plan, const CancelFlag& cancel, const LineSink& sink,
                        const ApplyOptions& options) {
  const auto count = static_cast<std::uint32_t>(plan.download.size());
  emit_progress_with_total(sink, Stage::Validate, 0, count, ProgressUnit::Files, "");
  const fs::path downloads = check.transaction_dir / kDownloadsFolder;
  const auto verify = [&](std::uint32_t k, std::span<std::byte> buffer) -> Status {
    // The caller's thread refuses an index outside the manifest before it
    // looks at this outcome.
    if (plan.download[k] >= manifest.files.size()) return {};
    const FileEntry& entry = manifest.files[plan.download[k]];
    const fs::path object = QV_TRY(join_checked(downloads, entry.object));
    return verify_object_file(object, entry, buffer);
  };
  const unsigned threads = validate_threads(options);
  std::optional<OrderedPool<Status, ReadBuffer>> pool;
  if (threads > 1) {
    pool.emplace(threads, [&](std::uint32_t k, ReadBuffer& buffer) -> Status {
      // An exception escaping a pool thread would end the process; a failed
      // allocation fails only this object.
      try {
        return verify(k, buffer.get());
      } catch (const std::bad_alloc&) {
        return fail(Error::out_of_memory());
      }
    });
  }
  ReadBuffer own_buffer;
  std::set<std::string_view> fetched_anew;  // objects, by name
  const std::uint32_t window = kValidateWindowPerThread * threads;
  std::uint32_t submitted = 0;
  for (std::uint32_t k = 0; k < count; ++k) {
    for (; pool && submitted < count && submitted - k < window; ++submitted) pool->submit(submitted);
    QV_TRY(cancelled_check(cancel));
    const std::uint32_t index = plan.download[k];
    if (index >= manifest.files.size()) return fail(std::string(kOutsideManifest));
    const FileEntry& entry = manifest.files[index];
    sink(fmt::format(fmt::runtime(kVerifyingLine), entry.path));
    Status verified = pool ? pool->take() : verify(k, own_buffer.get());
    if (pool && fetched_anew.contains(entry.object)) verified = verify(k, own_buffer.get());
    if (!verified) {
      // A path that cannot be joined failed the verification with this same
      // error, which ends the stage here.
      const fs::path object = QV_TRY(join_checked(downloads, entry.object));
      QV_TRY(refetch_and_verify(root, config, object, entry, verified.error(), cancel, sink));
      fetched_anew.insert(entry.object);
    }
    emit_progress_with_total(sink, Stage::Validate, k + 1, count, ProgressUnit::Files, entry.path);
  }
  return {};
}

// Installs, then deletes, then the installed files that an install replaces
// under another letter case (set aside like a deleted file).
Result<std::vector<Operation>> build_operations(const fs::path& root, const Manifest& manifest, const Plan& plan,
                                                const std::optional<Manifest>& installed) {
  const std::vector<std::string> variants = QV_TRY(installed_case_variants(root, manifest, plan.download, installed));
  std::vector<Operation> operations;
  operations.reserve(plan.download.size() + plan.delete_.size() + variants.size());
  for (const std::uint32_t index : plan.download) {
    const FileEntry& entry = manifest.files.at(index);
    const fs::path target = QV_TRY(resolve_physical_path(root, entry.path));
    const bool had_old = static_cast<bool>(platform::lstat_path(target));
    operations.push_back(Operation{entry.path, had_old, false});
  }
  for (const std::string& path : plan.delete_) operations.push_back(Operation{path, true, true});
  for (const std::string& path : variants) operations.push_back(Operation{path, true, true});
  return operations;
}

// Steps under the lock; the lock is gone before the caller records a failure.
Status apply_locked(const ClientConfig& config, const PreparedCheck& check, const fs::path& root,
                    ClientLock lock, const CancelFlag& cancel, const LineSink& sink, const ApplyOptions& options) {
  QV_TRY(recover(root, sink));
  QV_TRY(refuse_used_transaction(check.transaction_dir));

  const std::string envelope = QV_TRY(read_prepared_envelope(config, check));
  const Manifest& manifest = check.manifest;

  if (const auto installed = load_installed_manifest(config, root); installed && installed->release > manifest.release) {
    return fail(std::string(kReleaseSuperseded));
  }
  // The folder may have changed since the check: from here on the plan made
  // now decides everything.
  const std::optional<Manifest> installed = load_installed_manifest(config, root);
  const Plan plan = QV_TRY(build_plan(root, manifest, installed, check.plan.full_scan, sink));

  // Only what is still to be written counts: objects this transaction holds,
  // or can move in from a settled one, take no further room.
  const std::vector<SiblingFolder> siblings = QV_TRY(list_sibling_transactions(check.transaction_dir));
  const std::uint64_t plain = sum_file_bytes(plan.download, manifest.files);
  const std::uint64_t objects = QV_TRY(object_bytes_to_write(check.transaction_dir, siblings, manifest, plan.download));
  std::uint64_t need = 0;
  if (__builtin_add_overflow(plain, objects, &need) || __builtin_add_overflow(need, kSpaceMargin, &need)) {
    return fail(std::string(kSpaceOverflow));
  }
  QV_TRY(require_disk_space(root, need));

  QV_TRY(download_objects(config, check, manifest, plan, siblings, cancel, sink));
  fail_point(config.allow_loopback_http, "after-downloads");
  QV_TRY(cancelled_check(cancel));

  QV_TRY(validate_objects(root, config, check, manifest, plan, cancel, sink, options));
  QV_TRY(cancelled_check(cancel));

  sink(std::string(kClosingLine));
  fail_point(config.allow_loopback_http, "after-staging");
  emit_progress_with_total(sink, Stage::CloseGame, 0, 1, ProgressUnit::Steps, kGameIdentity);
  if (!plan.nothing_to_do()) QV_TRY(close_client_game(root));
  emit_progress_with_total(sink, Stage::CloseGame, 1, 1, ProgressUnit::Steps, kReadyToInstall);

  const std::vector<Operation> operations = QV_TRY(build_operations(root, manifest, plan, installed));
  const std::vector<fs::path> targets = QV_TRY(resolve_physical_paths(operations, root));
  const std::uint64_t total_steps = operations.size() + plan.download.size() + 1;
  emit_progress_with_total(sink, Stage::Apply, 0, total_steps, ProgressUnit::Steps, kProbing);
  QV_TRY(probe_targets(targets));

  const fs::path state_path = QV_TRY(installed_state_path(root));
  bool previous_state = false;
  if (auto info = platform::lstat_path(state_path); info) {
    QV_TRY(copy_durable(state_path, check.transaction_dir / kPreviousManifestFile));
    previous_state = true;
  } else if (!info.error().is_not_found()) {
    return std::unexpected(info.error());
  }

  Journal journal{.version = kJournalVersion,
                  .phase = std::string(journal_phase::kPrepared),
                  .previous_state = previous_state,
                  .operations = operations,
                  .retain = config.retain_patch_artifacts};
  QV_TRY(write_journal(check.transaction_dir, journal));
  journal.phase = journal_phase::kInstalling;
  QV_TRY(write_journal(check.transaction_dir, journal));

  if (auto installed_ok = apply_operations(journal, cancel, sink, total_steps, root, check, config, manifest,
                                           plan.download, state_path, envelope,
                                           ExecutorOptions{.threads = options.threads, .objects_verified = true});
      !installed_ok) {
    Error error = std::move(installed_ok).error();
    sink(record_error(root, "install/rollback", error.to_string()));
    if (auto undone = rollback(root, check.transaction_dir, journal); !undone) {
      return fail(fmt::format(fmt::runtime(kRollbackFailed), error.to_string(), undone.error().to_string()));
    }
    return std::unexpected(std::move(error));
  }

  journal.phase = journal_phase::kComplete;
  QV_TRY(write_journal(check.transaction_dir, journal));

  std::string note;
  if (journal.retain) {
    note = kArtifactsRetained;
  } else {
    if (auto cleaned = cleanup_transaction(root, check.transaction_dir); !cleaned) {
      sink(record_error(root, "cleanup", fmt::format(fmt::runtime(kCleanupPending), cleaned.error().to_string())));
    }
    reclaim_settled_transactions(root, check.transaction_dir, sink);
  }
  sink(fmt::format(fmt::runtime(kInstalledLine), manifest.release, note));
  emit_progress_with_total(sink, Stage::Apply, total_steps, total_steps, ProgressUnit::Steps, kStateSaved);
  emit_progress_with_total(sink, Stage::Done, 1, 1, ProgressUnit::Steps, kDone);
  release_client_lock(std::move(lock));
  return {};
}

Status apply_checked(const ClientConfig& config, const PreparedCheck& check, const CancelFlag& cancel,
                     const LineSink& sink, const ApplyOptions& options) {
  const fs::path root = QV_TRY(checked_root(config, check));
  ClientLock lock = QV_TRY(acquire_client_lock(root));
  return apply_locked(config, check, root, std::move(lock), cancel, sink, options);
}

}  // namespace

Status apply(const ClientConfig& config, const PreparedCheck& check, const CancelFlag& cancel, const LineSink& sink,
             const ApplyOptions& options) {
  auto result = apply_checked(config, check, cancel, sink, options);
  if (!result) return std::unexpected(report_error(config.root, "apply", std::move(result).error()));
  return {};
}

}  // namespace qv
