#include "core/install/executor.hpp"

#include <algorithm>
#include <new>
#include <optional>
#include <thread>

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
// Hashing threads of the verification after the install.
constexpr unsigned kVerifyThreads = 8;

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

Status run_operation(const Operation& operation, std::uint64_t number, const CancelFlag& cancel, const fs::path& root,
                     const fs::path& transaction_dir, const ClientConfig& config, const Manifest& manifest,
                     std::span<const std::uint32_t> download) {
  const bool armed = config.allow_loopback_http;
  const fs::path target = QV_TRY(resolve_physical_path(root, operation.path));
  const fs::path backup = QV_TRY(join_checked(transaction_dir / "backup", operation.path));
  if (operation.had_old) {
    QV_TRY(platform::make_directories(backup.parent_path()));
    QV_TRY(replace_file(target, backup));
  }
  fail_point(armed, numbered(kAfterBackup, number));
  if (!operation.delete_) {
    const FileEntry& entry = manifest.files[download[number]];
    const fs::path object = QV_TRY(join_checked(transaction_dir / "downloads", entry.object));
    const InstallFailpointCheck check{cancel, config, number, entry};
    InstallObjectOptions options;
    options.flush = false;  // all installed files are flushed together before the commit
    if (equals_ignoring_ascii_case(entry.path, manifest.game_exe)) options.mode = pack::kExecutableMode;
    const InstallWriteCallback on_write = [&check](std::uint64_t written) {
      return check_install_failpoint(check, written);
    };
    QV_TRY_CTX(install_object(object, target, entry, manifest.decoder_window_log, on_write, options),
               fmt::format(fmt::runtime(kInstallContext), entry.path));
  }
  fail_point(armed, numbered(kAfterInstall, number));
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
      return fail_os(ENOMEM);
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
                        std::string_view state_bytes) {
  QV_TRY(check_operations(journal, manifest, download));
  const std::uint64_t operations = journal.operations.size();
  for (std::uint64_t i = 0; i < operations; ++i) {
    const Operation& operation = journal.operations[i];
    if (cancel.is_cancelled()) return fail(std::string(kCancelledDuringInstallation));
    emit_progress_with_total(sink, Stage::Apply, i, total_steps, ProgressUnit::Steps, operation.path);
    QV_TRY(run_operation(operation, i, cancel, root, check.transaction_dir, config, manifest, download));
    emit_progress_with_total(sink, Stage::Apply, i + 1, total_steps, ProgressUnit::Steps, operation.path);
  }

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
