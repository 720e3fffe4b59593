#include "support/self_update_client.hpp"

#include <algorithm>
#include <stdexcept>

namespace qv::test {

SelfUpdateClient::SelfUpdateClient() : publish_(publish_dir_.path(), keys_), config_file_(root() / "launcher.json") {
  server_.serve_folder(publish_dir_.path());
}

ClientConfig SelfUpdateClient::write_config(bool with_update_url, bool retain,
                                            const std::optional<std::filesystem::path>& at) {
  config_file_ = at.value_or(root() / "launcher.json");
  write_file(config_file_, launcher_json(keys_, root(), server_.url("/manifest.qvm"), server_.url("/"), true,
                                         with_update_url ? std::optional(update_url()) : std::nullopt, retain));
  auto config = load_config(config_file_);
  if (!config) throw std::runtime_error(config.error().to_string());
  return *config;
}

FileEntry SelfUpdateClient::publish_launcher(std::uint64_t version, ByteSource launcher) {
  return publish_.write_launcher_update(version, std::move(launcher));
}

std::vector<std::filesystem::path> SelfUpdateClient::transaction_dirs() const {
  std::vector<std::filesystem::path> dirs;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(transactions(), ec)) dirs.push_back(entry.path());
  std::sort(dirs.begin(), dirs.end());
  return dirs;
}

}  // namespace qv::test
