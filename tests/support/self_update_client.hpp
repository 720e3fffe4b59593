// A client set up for self-update tests: a client root, a publish folder
// served over loopback HTTP with launcher-update metadata signed by the test
// keys, and the client's launcher.json.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/foundations/config.hpp"
#include "support/loopback_server.hpp"
#include "support/release_builder.hpp"
#include "support/temp_dir.hpp"

namespace qv::test {

class SelfUpdateClient {
 public:
  SelfUpdateClient();

  const std::filesystem::path& root() const { return client_.path(); }
  PublishFolder& publish() { return publish_; }
  LoopbackServer& server() { return server_; }
  const ReleaseKeys& keys() const { return keys_; }
  std::string update_url() const { return server_.url("/launcher-update.qvm"); }
  const std::filesystem::path& config_file() const { return config_file_; }

  // Writes launcher.json (at `at`, else root/launcher.json) and returns it
  // loaded.
  ClientConfig write_config(bool with_update_url = true, bool retain = false,
                            const std::optional<std::filesystem::path>& at = std::nullopt);

  // Publishes `launcher` as the launcher of version `version`.
  FileEntry publish_launcher(std::uint64_t version, ByteSource launcher);

  std::filesystem::path transactions() const { return root() / ".launcher/transactions"; }
  // The transaction folders, in name order.
  std::vector<std::filesystem::path> transaction_dirs() const;

 private:
  TempDir client_;
  TempDir publish_dir_;
  ReleaseKeys keys_ = ReleaseKeys::from_seed(12);
  PublishFolder publish_;
  LoopbackServer server_;
  std::filesystem::path config_file_;
};

}  // namespace qv::test
