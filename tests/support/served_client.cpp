#include "support/served_client.hpp"

#include <stdexcept>

namespace qv::test {

namespace fs = std::filesystem;

ServedClient::ServedClient() : client(dir.path()) {}

namespace {

const fs::path& made(const fs::path& folder) {
  if (!fs::create_directories(folder)) throw std::runtime_error("exists already: " + folder.string());
  return folder;
}

}  // namespace

ServedClient::ServedClient(const fs::path& base) : client(made(base)) {}

ClientConfig ServedClient::config(bool retain) const {
  ClientConfig config = client.config(retain);
  config.manifest_url = server.url("/manifest.qvm");
  config.object_base_url = server.url("/");
  return config;
}

void ServedClient::serve(const PublishedRelease& release) { server.serve_folder(release.dir); }

std::string ServedClient::log() const {
  const fs::path path = client.root() / ".launcher/state/errors.txt";
  return fs::exists(path) ? read_file(path) : std::string();
}

std::vector<fs::path> ServedClient::transactions() const {
  std::vector<fs::path> found;
  const fs::path folder = client.root() / ".launcher/transactions";
  if (!fs::exists(folder)) return found;
  for (const auto& entry : fs::directory_iterator(folder)) found.push_back(entry.path());
  return found;
}

}  // namespace qv::test
