// A client with a loopback server that publishes a chosen release to it: the
// ground of the check and apply tests.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "core/foundations/config.hpp"
#include "support/install_fixture.hpp"
#include "support/loopback_server.hpp"
#include "support/temp_dir.hpp"

namespace qv::test {

struct ServedClient {
  // The client and its releases go into a new temporary folder, or into
  // `base`, which must not exist yet.
  ServedClient();
  explicit ServedClient(const std::filesystem::path& base);

  TempDir dir;
  ClientFixture client;
  LoopbackServer server;

  // The client's configuration with the server's manifest and object
  // addresses (plain loopback http, which also arms the fail points).
  ClientConfig config(bool retain = false) const;
  // From now on the server publishes `release` (its manifest and objects).
  void serve(const PublishedRelease& release);
  // The client's diagnostics log; empty when there is none.
  std::string log() const;
  // The folders under .launcher/transactions.
  std::vector<std::filesystem::path> transactions() const;
};

}  // namespace qv::test
