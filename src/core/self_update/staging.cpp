#include "core/self_update/staging.hpp"

#include <span>

#include <fmt/format.h>

#include "core/formats/launcher_update.hpp"
#include "core/formats/pack.hpp"
#include "core/foundations/diagnostics.hpp"
#include "core/foundations/fileops.hpp"
#include "core/foundations/hashing.hpp"
#include "core/foundations/lock.hpp"
#include "core/foundations/network.hpp"
#include "core/foundations/paths.hpp"
#include "core/foundations/unicode.hpp"
#include "core/foundations/url.hpp"
#include "core/self_update/update_journal.hpp"
#include "platform/fs.hpp"

namespace qv {
namespace {

// The envelope's own maximum: no metadata file is larger.
constexpr std::uint64_t kMaxMetadataBytes = 33'554'432;
// A fingerprint is 64 digits; a rejection file far larger is not one.
constexpr std::size_t kMaxRejectionBytes = std::size_t{1} << 20;
constexpr std::string_view kCleanupContext = "self-update cleanup";

Result<bool> previously_rejected(const std::filesystem::path& root, const std::string& fingerprint) {
  const auto path = QV_TRY(join_checked(root, launcher_path::kRejectedUpdate));
  if (!platform::stat_path(path)) return false;
  const auto text = QV_TRY(platform::read_small_file(path, kMaxRejectionBytes));
  if (!is_valid_utf8(text)) return fail(std::string(staging_text::kNotUtf8));
  return text == fingerprint;
}

Result<SelfUpdateOutcome> stage_locked(const ClientConfig& config, const std::filesystem::path& root,
                                       const CancelFlag& cancel, const LineSink& sink, std::uint64_t own_version) {
  const auto folder = QV_TRY(join_checked(root, fmt::format("{}/{}", launcher_path::kTransactions, random_hex_id())));
  QV_TRY(platform::make_directories(folder));

  const auto metadata_path = folder / self_update_file::kMetadata;
  QV_TRY(download_file(*config.update_url, metadata_path, std::nullopt, kMaxMetadataBytes, config.allow_loopback_http,
                       cancel, [](std::uint64_t) {}));
  const auto metadata = QV_TRY(platform::read_small_file(metadata_path, kMaxMetadataBytes));
  const auto update = QV_TRY(read_launcher_update(
      std::span(reinterpret_cast<const std::uint8_t*>(metadata.data()), metadata.size()), config));

  // The version decides first: a launcher that already runs this version or
  // a newer one has nothing to stage, whatever was rejected before.
  if (update.version <= own_version) {
    if (!config.retain_patch_artifacts) {
      if (auto removed = cleanup_transaction(root, folder); !removed) {
        const auto text = fmt::format(fmt::runtime(staging_text::kCleanupPending), removed.error().to_string());
        sink(record_error(root, kCleanupContext, text));
      }
    }
    return SelfUpdateOutcome{};
  }
  if (QV_TRY(previously_rejected(root, hash_bytes_sha256(metadata).digest))) {
    return fail(std::string(staging_text::kPreviouslyFailed));
  }

  const auto& entry = update.launcher;
  const auto url = QV_TRY(object_url(config.object_base_url, entry.object, config.allow_loopback_http));
  const auto object_path = folder / self_update_file::kObject;
  QV_TRY(download_file(url, object_path, entry.object_bytes, entry.object_bytes, config.allow_loopback_http, cancel,
                       [&](std::uint64_t bytes) { on_launcher_update_progress(sink, entry.object_bytes, bytes); }));
  QV_TRY(install_object(object_path, folder / self_update_file::kNewLauncher, entry, pack::kMaxWindowLog,
                        [](std::uint64_t) -> Status { return {}; }, InstallObjectOptions{pack::kExecutableMode}));

  const UpdateJournal journal{1, std::string(self_update_phase::kStaged), random_hex_id(),
                              config.retain_patch_artifacts};
  QV_TRY(write_update_journal(folder, journal));
  return SelfUpdateOutcome{SelfUpdateOutcome::Kind::Staged, folder};
}

}  // namespace

void on_launcher_update_progress(const LineSink& sink, std::uint64_t object_bytes, std::uint64_t bytes_in_file) {
  sink(fmt::format(fmt::runtime(staging_text::kProgressLine), bytes_in_file, object_bytes));
}

Result<SelfUpdateOutcome> stage_launcher_update(const ClientConfig& config, const CancelFlag& cancel,
                                                const LineSink& sink, std::uint64_t own_version) {
  if (!config.update_url) return SelfUpdateOutcome{};
  const auto root = QV_TRY(resolve_write_root(config.root));
  auto lock = QV_TRY(acquire_client_lock(root));
  auto outcome = stage_locked(config, root, cancel, sink, own_version);
  release_client_lock(std::move(lock));
  return outcome;
}

}  // namespace qv
