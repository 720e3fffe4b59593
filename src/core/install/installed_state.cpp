#include "core/install/installed_state.hpp"

#include <cstdio>
#include <span>
#include <string>

#include "core/formats/envelope.hpp"
#include "core/foundations/diagnostics.hpp"
#include "core/foundations/paths.hpp"
#include "platform/fs.hpp"

namespace qv {
namespace {

Result<Manifest> open_installed_manifest(const ClientConfig& config, bool& missing) {
  const auto path = QV_TRY(installed_state_path(config.root));
  // An envelope never exceeds its own maximum, so a larger file is refused
  // without being read into memory.
  auto bytes = platform::read_small_file(path, kEnvelopeMaxBytes);
  if (!bytes) {
    missing = bytes.error().is_not_found();
    return std::unexpected(bytes.error());
  }
  const auto* data = reinterpret_cast<const std::uint8_t*>(bytes->data());
  return open_manifest(std::span(data, bytes->size()), config.public_key, config.manifest_key);
}

}  // namespace

Result<std::filesystem::path> installed_state_path(const std::filesystem::path& root) {
  return join_checked(root, kInstalledStateRelative);
}

std::optional<Manifest> load_installed_manifest(const ClientConfig& config) {
  bool missing = false;
  auto manifest = open_installed_manifest(config, missing);
  if (manifest) return std::move(*manifest);
  if (missing) return std::nullopt;
  const std::string shown = record_error(config.root, kInstalledStateContext, manifest.error().to_string());
  std::fwrite(shown.data(), 1, shown.size(), stderr);
  std::fputc('\n', stderr);
  return std::nullopt;
}

std::optional<Manifest> load_installed_manifest(const ClientConfig& config, const std::filesystem::path& root) {
  ClientConfig at_root = config;
  at_root.root = root;
  return load_installed_manifest(at_root);
}

}  // namespace qv
