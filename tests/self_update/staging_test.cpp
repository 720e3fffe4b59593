#include "core/self_update/staging.hpp"

#include <filesystem>
#include <mutex>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "core/foundations/hashing.hpp"
#include "core/foundations/paths.hpp"
#include "core/self_update/update_journal.hpp"
#include "support/self_update_client.hpp"

namespace qv {
namespace {

namespace fs = std::filesystem;
using test::read_file;
using test::write_file;

const std::string kRejectedText = "This launcher update previously failed; retained diagnostics require review";

class Staging : public ::testing::Test {
 protected:
  test::SelfUpdateClient client;
  std::vector<std::string> lines;
  LineSink sink{[this](std::string line) { lines.push_back(std::move(line)); }};
  CancelFlag cancel;
  std::string launcher = test::noise_bytes(3 * 1024 * 1024 + 17, 9);

  std::string stage(const ClientConfig& config, std::uint64_t own_version = 4) {
    auto outcome = stage_launcher_update(config, cancel, sink, own_version);
    if (!outcome) return outcome.error().to_string();
    if (outcome->kind == SelfUpdateOutcome::Kind::NoUpdate) return "no update";
    return "staged " + outcome->transaction_dir.string();
  }
  std::string staged_in(const fs::path& folder) { return "staged " + folder.string(); }
  std::string metadata_fingerprint() {
    return hash_file(client.publish().dir() / "launcher-update.qvm", HashAlgorithm::Sha256).value();
  }
};

TEST_F(Staging, WithoutAnUpdateUrlNothingIsTouched) {
  const auto config = client.write_config(false);
  EXPECT_EQ(stage(config), "no update");
  EXPECT_FALSE(fs::exists(client.root() / ".launcher"));
  EXPECT_EQ(client.server().request_count(), 0u);
}

TEST_F(Staging, AVersionNotAboveTheOwnIsNoUpdate) {
  struct Case {
    std::uint64_t published;
    std::uint64_t own;
    bool retain;
  };
  for (const auto& c : {Case{4, 4, false}, Case{1, 4, false}, Case{4, 4, true}, Case{5, 5, false}}) {
    fs::remove_all(client.transactions());
    client.publish_launcher(c.published, test::bytes_source("launcher"));
    const auto config = client.write_config(true, c.retain);
    EXPECT_EQ(stage(config, c.own), "no update");
    const auto dirs = client.transaction_dirs();
    if (c.retain) {
      ASSERT_EQ(dirs.size(), 1u);
      EXPECT_TRUE(fs::exists(dirs[0] / "launcher-update.qvm"));
      EXPECT_FALSE(fs::exists(dirs[0] / "self-update.json"));
    } else {
      EXPECT_TRUE(dirs.empty()) << c.published;
    }
    EXPECT_FALSE(fs::exists(client.root() / ".launcher/client.lock"));
  }
  EXPECT_TRUE(lines.empty());
}

TEST_F(Staging, ANewerVersionIsStagedWithItsJournal) {
  for (bool retain : {false, true}) {
    fs::remove_all(client.transactions());
    lines.clear();
    const auto entry = client.publish_launcher(5, test::bytes_source(launcher));
    const auto config = client.write_config(true, retain);
    auto outcome = stage_launcher_update(config, cancel, sink, 4);
    ASSERT_TRUE(outcome) << outcome.error().to_string();
    ASSERT_EQ(outcome->kind, SelfUpdateOutcome::Kind::Staged);
    const auto& folder = outcome->transaction_dir;
    EXPECT_EQ(folder.parent_path(), client.transactions());
    EXPECT_TRUE(is_hex_id(folder.filename().string()));
    EXPECT_EQ(client.transaction_dirs(), std::vector<fs::path>{folder});

    EXPECT_EQ(read_file(folder / "launcher-update.qvm"), read_file(client.publish().dir() / "launcher-update.qvm"));
    EXPECT_EQ(read_file(folder / "launcher-object.qvp"), read_file(client.publish().object_path(entry)));
    EXPECT_EQ(read_file(folder / "Launcher.new.exe"), launcher);
    EXPECT_EQ(fs::status(folder / "Launcher.new.exe").permissions() & fs::perms::owner_exec, fs::perms::owner_exec);
    const auto journal = read_update_journal(folder).value();
    EXPECT_EQ(journal.version, 1u);
    EXPECT_EQ(journal.phase, "staged");
    EXPECT_TRUE(is_hex_id(journal.token));
    EXPECT_EQ(journal.retain, retain);
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 4);
    EXPECT_FALSE(fs::exists(client.root() / ".launcher/client.lock"));

    // One line per chunk written, counting up to the signed object size.
    ASSERT_GE(lines.size(), 2u);
    std::uint64_t previous = 0;
    for (const auto& line : lines) {
      unsigned long long bytes = 0;
      unsigned long long total = 0;
      ASSERT_EQ(std::sscanf(line.c_str(), "Launcher update: %llu/%llu bytes", &bytes, &total), 2) << line;
      EXPECT_EQ(line, fmt::format("Launcher update: {}/{} bytes", bytes, entry.object_bytes));
      EXPECT_GT(bytes, previous);
      previous = bytes;
    }
    EXPECT_EQ(previous, entry.object_bytes);
  }
}

TEST_F(Staging, OnlyAnExactFingerprintOfAnUpdateToStageIsRefused) {
  client.publish_launcher(5, test::bytes_source(launcher));
  const auto config = client.write_config();
  const auto rejected = client.root() / ".launcher/state/rejected-update.txt";
  std::string upper = metadata_fingerprint();
  for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  struct Case {
    std::string content;
    std::string expected;
  };
  const Case cases[] = {
      {metadata_fingerprint(), kRejectedText},
      {metadata_fingerprint() + "\n", "staged"},
      {upper, "staged"},
      {"\xff\xfe", "stream did not contain valid UTF-8"},
  };
  for (const auto& c : cases) {
    write_file(rejected, c.content);
    EXPECT_EQ(stage(config).substr(0, c.expected.size()), c.expected) << c.content;
  }

  // A launcher that already runs the rejected version, or a newer one, is
  // simply up to date.
  write_file(rejected, metadata_fingerprint());
  EXPECT_EQ(stage(config, 5), "no update");
  EXPECT_EQ(stage(config, 6), "no update");
}

TEST_F(Staging, MetadataIsVerifiedBeforeTheRejectionListIsRead) {
  test::PublishFolder foreign(client.publish().dir(), test::ReleaseKeys::from_seed(99));
  foreign.write_launcher_update(5, test::bytes_source(launcher));
  write_file(client.root() / ".launcher/state/rejected-update.txt", metadata_fingerprint());
  const auto result = stage(client.write_config());
  EXPECT_NE(result, kRejectedText);
  EXPECT_EQ(result.rfind("staged", 0), std::string::npos) << result;
}

TEST_F(Staging, AFailedCleanupIsRecordedAndStillNoUpdate) {
  client.publish_launcher(4, test::bytes_source("launcher"));
  const auto config = client.write_config();
  // The cleanup marker's folder cannot be made where a file stands.
  write_file(client.root() / ".launcher/state", "a file");
  EXPECT_EQ(stage(config), "no update");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("Cleanup pending: ", 0), 0u) << lines[0];
  EXPECT_NE(lines[0].find("\nCannot write .launcher/state/errors.txt: "), std::string::npos) << lines[0];
}

TEST_F(Staging, FailuresLeaveTheFolderWithoutAJournal) {
  const auto entry = client.publish_launcher(5, test::bytes_source(launcher));
  const auto config = client.write_config();
  // An object of the right size whose bytes are not the signed ones.
  test::Answer forged;
  forged.body = std::string(entry.object_bytes, 'x');
  client.server().script("/" + entry.object, forged);
  EXPECT_EQ(stage(config), "signed ciphertext hash mismatch");
  test::Answer missing;
  missing.status = 404;
  client.server().script("/launcher-update.qvm", missing);
  EXPECT_NE(stage(config).find("404"), std::string::npos);
  ASSERT_EQ(client.transaction_dirs().size(), 2u);
  for (const auto& folder : client.transaction_dirs()) EXPECT_FALSE(fs::exists(folder / "self-update.json"));
  EXPECT_FALSE(fs::exists(client.root() / ".launcher/client.lock"));
}

}  // namespace
}  // namespace qv
