#include "core/install/installed_state.hpp"

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "support/install_fixture.hpp"
#include "support/temp_dir.hpp"

namespace qv {
namespace {

namespace fs = std::filesystem;

class InstalledState : public ::testing::Test {
 protected:
  InstalledState() : client_(dir_.path()), release_(client_.publish(7, {{"game.exe", "game"}})) {}

  fs::path state() const { return client_.root() / ".launcher/state/manifest.qvm"; }
  fs::path log() const { return client_.root() / ".launcher/state/errors.txt"; }

  // Loads and returns what reached standard error.
  std::string load(const ClientConfig& config, std::optional<Manifest>& out) {
    ::testing::internal::CaptureStderr();
    out = load_installed_manifest(config);
    return ::testing::internal::GetCapturedStderr();
  }

  test::TempDir dir_;
  test::ClientFixture client_;
  const test::PublishedRelease& release_;
};

TEST_F(InstalledState, MissingStateIsNoneAndRecordsNothing) {
  std::optional<Manifest> manifest;
  EXPECT_EQ(load(client_.config(), manifest), "");
  EXPECT_FALSE(manifest);
  EXPECT_FALSE(fs::exists(log()));
}

TEST_F(InstalledState, OpensTheSignedEnvelope) {
  client_.place(release_);
  std::optional<Manifest> manifest;
  EXPECT_EQ(load(client_.config(), manifest), "");
  ASSERT_TRUE(manifest);
  EXPECT_EQ(*manifest, release_.manifest);
  EXPECT_FALSE(fs::exists(log()));
}

TEST_F(InstalledState, UnusableStateIsRecordedAtEveryReadAndShownOnStandardError) {
  struct Case {
    const char* name;
    std::function<void()> spoil;
    ClientConfig config;
    std::string cause;
  };
  ClientConfig other_key = client_.config();
  other_key.manifest_key[0] ^= 1;
  const Case cases[] = {
      {"truncated", [&] { fs::resize_file(state(), 100); }, client_.config(), "invalid envelope"},
      {"other manifest key", [] {}, other_key, "manifest authentication failed"},
      {"a folder",
       [&] {
         fs::remove(state());
         fs::create_directories(state());
       },
       client_.config(), "Is a directory (os error 21)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(client_.root() / ".launcher");
    client_.place(release_);
    c.spoil();
    for (int read = 1; read <= 2; ++read) {
      std::optional<Manifest> manifest;
      const std::string shown = load(c.config, manifest);
      EXPECT_FALSE(manifest);
      const std::string log_text = test::read_file(log());
      ASSERT_NE(shown, "");
      EXPECT_EQ(shown.back(), '\n');
      const std::string message = shown.substr(0, shown.size() - 1);
      EXPECT_NE(message.find(c.cause), std::string::npos) << message;
      // One record per read, with the context and the text shown.
      std::size_t records = 0;
      for (std::size_t at = 0; (at = log_text.find(" installed manifest; full scan required]\n" + message + "\n\n",
                                                   at)) != std::string::npos;
           ++at) {
        ++records;
      }
      EXPECT_EQ(records, static_cast<std::size_t>(read));
    }
    EXPECT_TRUE(fs::exists(state()));  // never repaired or removed here
  }
}

TEST_F(InstalledState, AStateTooLargeForAnEnvelopeIsRefusedUnread) {
  fs::create_directories(state().parent_path());
  fs::resize_file(test::write_file(state(), ""), (std::uintmax_t{32} << 20) + 1);
  std::optional<Manifest> manifest;
  EXPECT_EQ(load(client_.config(), manifest), "file too large\n");
  EXPECT_FALSE(manifest);
}

TEST_F(InstalledState, WhenTheLogCannotBeWrittenTheLineSaysSo) {
  client_.place(release_);
  fs::resize_file(state(), 100);
  fs::create_directories(log());
  std::optional<Manifest> manifest;
  const std::string shown = load(client_.config(), manifest);
  EXPECT_FALSE(manifest);
  EXPECT_TRUE(shown.starts_with("invalid envelope\nCannot write")) << shown;
  EXPECT_NE(shown.find("\nCannot write .launcher/state/errors.txt: "), std::string::npos) << shown;
}

}  // namespace
}  // namespace qv
