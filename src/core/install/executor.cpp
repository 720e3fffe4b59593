#include "core/install/executor.hpp"

#include <fmt/format.h>

#include "core/formats/pack.hpp"
#include "core/foundations/failpoint.hpp"
#include "core/foundations/fileops.hpp"
#include "core/foundations/hashing.hpp"
#include "core/foundations/paths.hpp"
#include "core/foundations/unicode.hpp"
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

  // Every installed file is read back once more: what is on disk now, not what
  // was written, is what the installed state vouches for.
  for (std::uint64_t k = 0; k < download.size(); ++k) {
    const FileEntry& entry = manifest.files[download[k]];
    const fs::path target = QV_TRY(resolve_physical_path(root, entry.path));
    const std::string digest = QV_TRY(hash_file(target, entry.algorithm));
    if (digest != entry.digest) return fail(std::string(kVerificationFailed));
    emit_progress_with_total(sink, Stage::Apply, operations + k + 1, total_steps, ProgressUnit::Steps,
                             fmt::format(fmt::runtime(kVerifyDetail), entry.path));
  }

  if (cancel.is_cancelled()) return fail(std::string(kCancelledBeforeCommit));
  QV_TRY(write_file_atomic(state_path, state_bytes));
  fail_point(config.allow_loopback_http, kAfterState);
  journal.phase = journal_phase::kCommitted;
  QV_TRY(write_journal(check.transaction_dir, journal));
  fail_point(config.allow_loopback_http, kAfterCommitted);
  return {};
}

}  // namespace qv
