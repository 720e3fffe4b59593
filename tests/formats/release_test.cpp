// A whole release through the formats: published by the test builder, opened,
// verified and installed as a client would.
#include <gtest/gtest.h>

#include "core/formats/envelope.hpp"
#include "core/formats/launcher_update.hpp"
#include "core/formats/pack.hpp"
#include "support/release_builder.hpp"
#include "support/temp_dir.hpp"

namespace qv {
namespace {

TEST(Release, PublishedFilesOpenVerifyAndInstall) {
  test::TempDir dir;
  test::PublishFolder publish(dir / "publish", test::ReleaseKeys::from_seed(2));
  publish.add_file("game.exe", test::bytes_source("MZ fake game"));
  test::ObjectOptions xxh;
  xxh.algorithm = HashAlgorithm::Xxh3_128;
  publish.add_file("data/levels/one.pak", test::pattern_source(3 << 20), xxh);
  publish.add_file("data/empty.bin", test::bytes_source(""));
  publish.write_manifest();
  const auto launcher_entry = publish.write_launcher_update(5, test::bytes_source("new launcher"));

  const auto bytes = test::read_file(publish.dir() / "manifest.qvm");
  const auto& keys = publish.keys();
  auto manifest = open_manifest(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()),
                                keys.public_key, keys.manifest_key);
  ASSERT_TRUE(manifest) << manifest.error().to_string();
  ASSERT_EQ(manifest->files.size(), 3u);
  EXPECT_EQ(manifest->game_exe, "game.exe");

  for (const FileEntry& entry : manifest->files) {
    const auto object = publish.object_path(entry);
    ASSERT_TRUE(verify_object_file(object, entry)) << entry.path;
    auto installed = install_object(object, dir / "client" / entry.path, entry, manifest->decoder_window_log,
                                    [](std::uint64_t) -> Status { return {}; });
    ASSERT_TRUE(installed) << entry.path << ": " << installed.error().to_string();
  }
  EXPECT_EQ(test::read_file(dir / "client/game.exe"), "MZ fake game");
  EXPECT_EQ(std::filesystem::file_size(dir / "client/data/levels/one.pak"), 3u << 20);
  EXPECT_EQ(std::filesystem::file_size(dir / "client/data/empty.bin"), 0u);

  ClientConfig config;
  config.public_key = keys.public_key;
  config.manifest_key = keys.manifest_key;
  const auto update_bytes = test::read_file(publish.dir() / "launcher-update.qvm");
  auto update = read_launcher_update(
      std::span(reinterpret_cast<const std::uint8_t*>(update_bytes.data()), update_bytes.size()), config);
  ASSERT_TRUE(update) << update.error().to_string();
  EXPECT_EQ(update->version, 5u);
  EXPECT_EQ(update->launcher, launcher_entry);
  EXPECT_TRUE(verify_object_file(publish.object_path(update->launcher), update->launcher));
}

}  // namespace
}  // namespace qv
