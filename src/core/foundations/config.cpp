#include "core/foundations/config.hpp"

#include <fmt/format.h>

#include "core/foundations/json.hpp"
#include "core/foundations/paths.hpp"
#include "platform/folder.hpp"
#include "platform/fs.hpp"
#include "platform/process_info.hpp"

namespace qv {
namespace {

// A configuration file is a few hundred bytes; anything this large is not one.
constexpr std::size_t kMaxConfigBytes = std::size_t{16} << 20;

// What a root that fails to resolve is called in its error.
constexpr const char* kClientRootContext = "client root {}";

constexpr std::string_view kFields[] = {
    "root",           "manifest_url",           "object_base_url",     "public_key",
    "manifest_key",   "retain_patch_artifacts", "allow_loopback_http", "update_url",
};

// The canonical root, which must be a folder: a root that names a file would
// fail every job later, and only as "Not a directory".
Result<std::filesystem::path> resolve_client_root(const std::filesystem::path& root) {
  std::filesystem::path canonical = QV_TRY(resolve_write_root(root));
  QV_TRY(platform::open_folder(canonical));
  return canonical;
}

}  // namespace

std::optional<std::string> arg_value_in(std::span<const std::string> args, std::string_view name) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == name) {
      if (i + 1 < args.size()) return args[i + 1];
      return std::nullopt;
    }
  }
  return std::nullopt;
}

std::optional<std::string> arg_value(std::string_view name) {
  const auto args = platform::process_arguments();
  return arg_value_in(args, name);
}

Result<std::filesystem::path> config_path() {
  std::filesystem::path path;
  if (auto value = arg_value(kConfigOption)) {
    path = *value;
  } else {
    path = QV_TRY(platform::executable_path()).parent_path() / "launcher.json";
  }
  return platform::canonicalize(path);
}

Result<ClientConfig> parse_config(std::string_view document) {
  json::Reader reader(document);
  ClientConfig config;
  const json::StructShape shape{"ClientConfig", kFields, 5, true};
  auto read_field = [&](std::size_t i) -> Status {
    switch (i) {
      case 0: config.root = QV_TRY(reader.read_string("path string")); return {};
      case 1: config.manifest_url = QV_TRY(reader.read_string()); return {};
      case 2: config.object_base_url = QV_TRY(reader.read_string()); return {};
      case 3: return reader.read_byte_array(config.public_key);
      case 4: return reader.read_byte_array(config.manifest_key);
      case 5: config.retain_patch_artifacts = QV_TRY(reader.read_bool()); return {};
      case 6: config.allow_loopback_http = QV_TRY(reader.read_bool()); return {};
      case 7:
        if (QV_TRY(reader.read_null_if_present())) {
          config.update_url.reset();
        } else {
          config.update_url = QV_TRY(reader.read_string());
        }
        return {};
      default: return {};
    }
  };
  QV_TRY(json::read_struct(reader, shape, read_field, [](std::size_t i) { return i < 5; }));
  QV_TRY(reader.finish());
  return config;
}

Result<ClientConfig> load_config(const std::filesystem::path& path) {
  const std::string bytes = QV_TRY(platform::read_small_file(path, kMaxConfigBytes));
  ClientConfig config = QV_TRY(parse_config(bytes));
  // A relative root names a folder relative to the configuration file.
  if (!config.root.is_absolute()) config.root = path.parent_path() / config.root;
  config.root = QV_TRY_CTX(resolve_client_root(config.root), fmt::format(kClientRootContext, config.root.string()));
  return config;
}

ClientConfig clone_config(const ClientConfig& config) { return config; }

}  // namespace qv
