#include "core/install/check.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "core/formats/envelope.hpp"
#include "core/formats/manifest_codec.hpp"
#include "core/foundations/diagnostics.hpp"
#include "core/foundations/fileops.hpp"
#include "core/foundations/lock.hpp"
#include "core/foundations/network.hpp"
#include "core/foundations/paths.hpp"
#include "core/install/installed_state.hpp"
#include "core/install/reclaim.hpp"
#include "core/install/recovery.hpp"
#include "core/install/report_error.hpp"
#include "core/self_update/version.hpp"
#include "platform/folder.hpp"
#include "platform/fs.hpp"

namespace qv {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kTransactionsRelative = ".launcher/transactions/";
constexpr std::string_view kManifestFile = "manifest.qvm";
constexpr std::string_view kPlanFile = "plan.json";
constexpr std::uint64_t kManifestDownloadLimit = 33554432;  // 32 MiB

constexpr std::string_view kSignatureChecked = "ตรวจลายเซ็นแล้ว";
constexpr std::string_view kCheckingLine = "Checking client files...";

constexpr std::string_view kLauncherUpdateRequired = "launcher update required before game patch";
constexpr std::string_view kReleaseRollback = "release rollback rejected";
constexpr std::string_view kSameReleaseDiffers = "same release ID has different contents";
constexpr std::string_view kClientChanged = "prepared client changed";
constexpr std::string_view kManifestChanged = "prepared manifest changed";
constexpr std::string_view kReleaseSuperseded = "prepared release superseded";
constexpr std::string_view kCleanupPending = "Check complete; cleanup pending: {}";

// Whether two manifests are the same release content: their CBOR encodings
// are equal byte for byte.
Result<bool> same_encoding(const Manifest& a, const Manifest& b) {
  const auto first = QV_TRY(encode_manifest_cbor(a));
  const auto second = QV_TRY(encode_manifest_cbor(b));
  return first == second;
}

// Release-order rule shared by the check and its confirmation: an equal
// release must be the same release, byte for byte.
Status check_same_release(const Manifest& published, const Manifest& installed) {
  if (!QV_TRY(same_encoding(published, installed))) return fail(std::string(kSameReleaseDiffers));
  return {};
}

Result<Manifest> open_envelope_bytes(const std::string& bytes, const ClientConfig& config) {
  const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
  return open_manifest(std::span(data, bytes.size()), config.public_key, config.manifest_key);
}

Result<PreparedCheck> prepare_locked(const ClientConfig& config, bool full_check, const CancelFlag& cancel,
                                     const LineSink& sink) {
  const fs::path root = QV_TRY(resolve_write_root(config.root));
  ClientLock lock = QV_TRY(acquire_client_lock(root));
  QV_TRY(recover(root, sink));

  std::string relative(kTransactionsRelative);
  relative += random_hex_id();
  const fs::path transaction_dir = QV_TRY(join_checked(root, relative));
  QV_TRY(platform::make_directories(transaction_dir));

  emit_progress(sink, Stage::Manifest, 0, std::nullopt, ProgressUnit::Bytes, "");
  const fs::path envelope_path = transaction_dir / kManifestFile;
  const ByteProgress on_bytes = [&sink](std::uint64_t received) {
    emit_progress(sink, Stage::Manifest, received, std::nullopt, ProgressUnit::Bytes, "");
  };
  QV_TRY(download_file(config.manifest_url, envelope_path, std::nullopt, kManifestDownloadLimit,
                       config.allow_loopback_http, cancel, on_bytes));

  Manifest manifest;
  {
    // Freed before the planning, which for a client of many files needs the
    // memory more than anything else here.
    const std::string bytes = QV_TRY(platform::read_small_file(envelope_path, kEnvelopeMaxBytes));
    manifest = QV_TRY(open_envelope_bytes(bytes, config));
    emit_progress_with_total(sink, Stage::Manifest, bytes.size(), bytes.size(), ProgressUnit::Bytes,
                             kSignatureChecked);
  }

  if (manifest.min_launcher > kLauncherVersion) return fail(std::string(kLauncherUpdateRequired));

  const std::optional<Manifest> installed = load_installed_manifest(config, root);
  if (installed) {
    if (manifest.release < installed->release) return fail(std::string(kReleaseRollback));
    if (manifest.release == installed->release) QV_TRY(check_same_release(manifest, *installed));
  }

  sink(std::string(kCheckingLine));
  Plan plan = QV_TRY(build_plan(root, manifest, installed, full_check, sink));
  QV_TRY(write_file_atomic(transaction_dir / kPlanFile, write_plan_json(plan)));

  release_client_lock(std::move(lock));
  return PreparedCheck{root, transaction_dir, std::move(plan), std::move(manifest)};
}

Result<bool> finish_locked(const ClientConfig& config, const PreparedCheck& check, const LineSink& sink) {
  const fs::path root = QV_TRY(resolve_write_root(config.root));
  if (root != check.root) return fail(std::string(kClientChanged));
  ClientLock lock = QV_TRY(acquire_client_lock(root));

  const std::string bytes = QV_TRY(read_prepared_envelope(config, check));
  const Manifest& opened = check.manifest;  // the same content, proven just now

  if (const std::optional<Manifest> installed = load_installed_manifest(config, root)) {
    if (opened.release < installed->release) return fail(std::string(kReleaseSuperseded));
    if (opened.release == installed->release) QV_TRY(check_same_release(opened, *installed));
  }

  // The folder may have changed since the check: confirm the finding without
  // reporting a second set of Check records.
  const std::optional<Manifest> installed = load_installed_manifest(config, root);
  const Plan again = QV_TRY(build_plan(root, opened, installed, check.plan.full_scan, LineSink::discard()));
  if (!again.nothing_to_do()) return false;

  const fs::path state_path = QV_TRY(installed_state_path(root));
  QV_TRY(write_file_atomic(state_path, bytes));

  // The client is ready once the state is written; a folder that cannot be
  // removed now is left to its cleanup marker.
  if (auto cleaned = cleanup_transaction(root, check.transaction_dir); !cleaned) {
    sink(record_error(root, "cleanup", fmt::format(fmt::runtime(kCleanupPending), cleaned.error().to_string())));
  }
  reclaim_settled_transactions(root, check.transaction_dir, sink);
  release_client_lock(std::move(lock));
  return true;
}

// Only what a check itself makes: a folder holding anything else (a journal,
// downloads, set-aside fragments) belongs to an install or to a diagnosis.
Result<bool> holds_only_check_files(const platform::Folder& folder) {
  const auto entries = QV_TRY(folder.entries());
  for (const auto& entry : entries) {
    if (entry.name != kPlanFile && entry.name != kManifestFile) return false;
    std::optional<platform::FileKind> kind = entry.kind;
    if (!kind) kind = QV_TRY(folder.entry_info(entry.name)).kind;
    if (*kind == platform::FileKind::Directory || *kind == platform::FileKind::Symlink) return false;
  }
  return true;
}

Status discard_locked(const ClientConfig& config, const PreparedCheck& check) {
  const fs::path root = QV_TRY(resolve_write_root(config.root));
  if (root != check.root) return fail(std::string(kClientChanged));
  ClientLock lock = QV_TRY(acquire_client_lock(root));
  QV_TRY(check_transaction_dir(root, check.transaction_dir));
  const platform::Folder folder = QV_TRY(platform::open_folder(check.transaction_dir));
  if (!QV_TRY(holds_only_check_files(folder))) return {};
  QV_TRY(cleanup_transaction(root, check.transaction_dir));
  return {};
}

}  // namespace

Result<std::string> read_prepared_envelope(const ClientConfig& config, const PreparedCheck& check) {
  const fs::path envelope_path = QV_TRY(join_checked(check.transaction_dir, kManifestFile));
  std::string bytes = QV_TRY(platform::read_small_file(envelope_path, kEnvelopeMaxBytes));
  const Manifest opened = QV_TRY(open_envelope_bytes(bytes, config));
  if (!QV_TRY(same_encoding(opened, check.manifest))) return fail(std::string(kManifestChanged));
  return bytes;
}

Result<PreparedCheck> prepare(const ClientConfig& config, bool full_check, const CancelFlag& cancel,
                              const LineSink& sink) {
  auto result = prepare_locked(config, full_check, cancel, sink);
  if (!result) return std::unexpected(report_error(config.root, "prepare", std::move(result).error()));
  return result;
}

Result<bool> finish_check(const ClientConfig& config, const PreparedCheck& check, const LineSink& sink) {
  if (config.retain_patch_artifacts || !check.plan.download.empty() || !check.plan.delete_.empty()) return false;
  auto result = finish_locked(config, check, sink);
  if (!result) return std::unexpected(report_error(config.root, "finish_check", std::move(result).error()));
  return result;
}

Status discard_check(const ClientConfig& config, const PreparedCheck& check) {
  if (config.retain_patch_artifacts) return {};
  if (!platform::lstat_path(check.transaction_dir)) return {};
  auto result = discard_locked(config, check);
  if (!result) return std::unexpected(report_error(config.root, "discard_check", std::move(result).error()));
  return {};
}

}  // namespace qv
