// A demo client and the newer release it is offered: a client folder on
// release 1 with its installed state, and a publish folder holding release 2,
// signed with the test keys, as the loopback server serves it. Release 2
// replaces the large data file and a text, adds a file, deletes one, keeps
// the game, and carries the three links. The demo release tool serves one to
// a real launcher; the window tests drive a real launcher against one.
//
// Failures throw std::runtime_error: this is test code.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/formats/manifest.hpp"
#include "support/release_builder.hpp"
#include "support/tree_snapshot.hpp"

namespace qv::test {

struct DemoOptions {
  // The program installed as the game of both releases (tools/fake_game).
  std::filesystem::path game;
  // The game's arguments in release 2.
  std::vector<std::string> game_args;
  // The size of the data file that release 2 replaces.
  std::uint64_t data_bytes = 24ull << 20;
};

// The client path of the game, the data file and the three links.
inline constexpr const char* kDemoGame = "QVOnline.exe";
inline constexpr const char* kDemoData = "data/world.pak";
inline constexpr const char* kDemoRegisterLink = "https://velmorane.example/register";
inline constexpr const char* kDemoTopupLink = "https://velmorane.example/topup";
inline constexpr const char* kDemoDiscordLink = "https://velmorane.example/discord";

class DemoClient {
 public:
  // Builds `folder`/client and `folder`/publish; `folder` must exist and
  // belong to the caller. Nothing outside these two is written.
  DemoClient(const std::filesystem::path& folder, const DemoOptions& options);

  const std::filesystem::path& root() const { return root_; }
  const std::filesystem::path& publish_dir() const { return publish_dir_; }
  // The publish folder, for a launcher update beside the release.
  PublishFolder& publish() { return publish_; }
  const Manifest& new_manifest() const { return new_manifest_; }
  const Manifest& old_manifest() const { return old_manifest_; }

  // Writes root/launcher.json for a server whose "/" serves the publish
  // folder at `base_url` ("http://127.0.0.1:PORT/") and returns its path.
  std::filesystem::path write_config(const std::string& base_url,
                                     const std::optional<std::string>& update_url = std::nullopt) const;

  // The client without `.launcher` on release 1 (as made) and on release 2
  // (as an install makes it).
  const TreeSnapshot& old_tree() const { return old_tree_; }
  const TreeSnapshot& new_tree() const { return new_tree_; }
  TreeSnapshot client_tree() const;

 private:
  std::filesystem::path root_;
  std::filesystem::path publish_dir_;
  PublishFolder publish_;
  Manifest old_manifest_;
  Manifest new_manifest_;
  TreeSnapshot old_tree_;
  TreeSnapshot new_tree_;
};

}  // namespace qv::test
