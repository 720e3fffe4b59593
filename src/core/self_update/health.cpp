#include "core/self_update/health.hpp"

#include <span>

#include <fmt/format.h>

#include "core/formats/launcher_update.hpp"
#include "core/foundations/fileops.hpp"
#include "core/foundations/hashing.hpp"
#include "core/foundations/json.hpp"
#include "core/foundations/paths.hpp"
#include "core/self_update/update_journal.hpp"
#include "core/self_update/version.hpp"
#include "platform/fs.hpp"
#include "platform/process_info.hpp"

namespace qv {
namespace {

constexpr std::string_view kFields[] = {"pid", "token", "version"};

// The metadata of a staged update was downloaded under the 32 MiB cap.
constexpr std::size_t kMaxMetadataBytes = std::size_t{32} << 20;

}  // namespace

std::string serialize_health_answer(const HealthAnswer& answer) {
  std::string out = fmt::format("{{\"pid\":{},\"token\":", answer.pid);
  json::append_quoted(out, answer.token);
  out += fmt::format(",\"version\":{}}}", answer.version);
  return out;
}

Result<HealthAnswer> decode_health_answer(std::string_view bytes) {
  json::Reader reader(bytes);
  HealthAnswer answer;
  const json::StructShape shape{"HealthAnswer", kFields, 3, false};
  auto read_field = [&](std::size_t i) -> Status {
    switch (i) {
      case 0: answer.pid = QV_TRY(reader.read_u64()); return {};
      case 1: answer.token = QV_TRY(reader.read_string()); return {};
      default: answer.version = QV_TRY(reader.read_u64()); return {};
    }
  };
  QV_TRY(json::read_struct(reader, shape, read_field, [](std::size_t) { return true; }));
  QV_TRY(reader.finish());
  return answer;
}

Result<std::filesystem::path> transaction_dir_for_id(const std::filesystem::path& root, std::string_view id) {
  if (!is_hex_id(id)) return fail(std::string(health_text::kInvalidId));
  return join_checked(root, fmt::format("{}/{}", launcher_path::kTransactions, id));
}

Status answer_health_check(const ClientConfig& config, std::string_view id, std::string_view token) {
  const auto folder = QV_TRY(transaction_dir_for_id(config.root, id));
  const auto journal = QV_TRY(read_update_journal(folder));
  if (journal.token != token || journal.phase != self_update_phase::kAwaitingHealth) {
    return fail(std::string(health_text::kUnexpectedHandshake));
  }
  const auto metadata = QV_TRY(platform::read_small_file(folder / self_update_file::kMetadata, kMaxMetadataBytes));
  const auto update = QV_TRY(read_launcher_update(
      std::span(reinterpret_cast<const std::uint8_t*>(metadata.data()), metadata.size()), config));
  if (update.version != kLauncherVersion) return fail(std::string(health_text::kVersionMismatch));
  const auto executable = QV_TRY(platform::executable_path());
  const auto digest = QV_TRY(hash_file(executable, update.launcher.algorithm));
  if (digest != update.launcher.digest) return fail(std::string(health_text::kHashMismatch));
  const HealthAnswer answer{platform::process_id(), std::string(token), kLauncherVersion};
  return write_file_atomic(folder / self_update_file::kHealth, serialize_health_answer(answer));
}

}  // namespace qv
