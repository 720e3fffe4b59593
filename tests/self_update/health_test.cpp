#include "core/self_update/health.hpp"

#include <unistd.h>

#include <filesystem>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "core/foundations/hashing.hpp"
#include "core/self_update/update_journal.hpp"
#include "platform/process_info.hpp"
#include "support/release_builder.hpp"
#include "support/temp_dir.hpp"

namespace qv {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

const std::string kId = "0123456789abcdef0123456789abcdef";
const std::string kToken = "fedcba9876543210fedcba9876543210";

TEST(TransactionDirForId, AcceptsExactly32HexDigitsJoinedUnchanged) {
  TempDir dir;
  const auto upper = std::string(32, 'A');
  EXPECT_EQ(transaction_dir_for_id(dir.path(), upper).value(), dir / (".launcher/transactions/" + upper));
  EXPECT_EQ(transaction_dir_for_id(dir.path(), kId).value(), dir / (".launcher/transactions/" + kId));
  for (const std::string& bad : {std::string(31, 'a'), std::string(33, 'a'), std::string(31, 'a') + "g",
                                std::string(30, 'a') + "/.", std::string()}) {
    auto r = transaction_dir_for_id(dir.path(), bad);
    ASSERT_FALSE(r) << bad;
    EXPECT_EQ(r.error().to_string(), "invalid transaction ID");
  }
  // The join refuses a link on the way like any other client path.
  fs::create_directories(dir / "elsewhere");
  fs::create_directories(dir / ".launcher");
  fs::create_directory_symlink(dir / "elsewhere", dir / ".launcher/transactions");
  EXPECT_EQ(transaction_dir_for_id(dir.path(), kId).error().to_string(),
            "reparse point rejected: " + (dir / ".launcher/transactions").string());
}

TEST(HealthAnswer, CompactThreeMembersInOrderAndBack) {
  const HealthAnswer answer{4242, kToken, 4};
  EXPECT_EQ(serialize_health_answer(answer), "{\"pid\":4242,\"token\":\"" + kToken + "\",\"version\":4}");
  EXPECT_EQ(decode_health_answer(serialize_health_answer(answer)).value(), answer);
  EXPECT_EQ(decode_health_answer("{\"pid\":1,\"token\":\"t\"}").error().to_string(),
            "missing field `version` at line 1 column 21");
}

// A staged transaction whose metadata describes this test program, so the
// running executable is the launcher it names.
class HealthCheck : public ::testing::Test {
 protected:
  TempDir dir;
  test::ReleaseKeys keys = test::ReleaseKeys::from_seed(5);
  ClientConfig config = [this] {
    ClientConfig c;
    c.root = dir.path();
    c.public_key = keys.public_key;
    c.manifest_key = keys.manifest_key;
    return c;
  }();
  fs::path folder = dir / (".launcher/transactions/" + kId);

  void stage(std::string_view phase, std::uint64_t version, bool digest_of_this_program = true) {
    fs::create_directories(folder);
    ASSERT_TRUE(write_update_journal(folder, UpdateJournal{1, std::string(phase), kToken, false}));
    FileEntry entry = test::sample_entry("Launcher.exe");
    entry.algorithm = HashAlgorithm::Blake3;
    const auto self = platform::executable_path().value();
    entry.bytes = fs::file_size(self);
    entry.digest = digest_of_this_program ? hash_file(self, HashAlgorithm::Blake3).value() : std::string(64, '0');
    const auto envelope = test::launcher_update_envelope(keys, 1, version, entry);
    test::write_file(folder / "launcher-update.qvm", std::string(envelope.begin(), envelope.end()));
  }
  std::string answer(std::string_view id = kId, std::string_view token = kToken) {
    auto r = answer_health_check(config, id, token);
    return r ? "ok" : r.error().to_string();
  }
};

TEST_F(HealthCheck, AnswersWithPidTokenAndVersionAndReplacesAnEarlierAnswer) {
  stage("awaiting-health", 4);
  test::write_file(folder / "health.json", "old");
  ASSERT_EQ(answer(), "ok");
  const auto expected = fmt::format("{{\"pid\":{},\"token\":\"{}\",\"version\":4}}", ::getpid(), kToken);
  EXPECT_EQ(test::read_file(folder / "health.json"), expected);
  ASSERT_EQ(answer(), "ok");
  EXPECT_EQ(test::read_file(folder / "health.json"), expected);
  // The journal is the updater's to move on.
  EXPECT_EQ(read_update_journal(folder).value().phase, "awaiting-health");
}

TEST_F(HealthCheck, RefusalsWriteNothing) {
  struct Case {
    const char* what;
    std::string phase;
    std::uint64_t version;
    bool own_digest;
    std::string token;
    std::string expected;
  };
  std::string upper_token = kToken;
  for (auto& c : upper_token) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const Case cases[] = {
      {"replacing", "replacing", 4, true, kToken, "unexpected handshake"},
      {"complete", "complete", 4, true, kToken, "unexpected handshake"},
      {"token in upper case", "awaiting-health", 4, true, upper_token, "unexpected handshake"},
      {"version 5 with the right digest", "awaiting-health", 5, true, kToken,
       "binary version does not match update metadata"},
      {"version 3", "awaiting-health", 3, true, kToken, "binary version does not match update metadata"},
      {"another executable", "awaiting-health", 4, false, kToken, "running executable hash mismatch"},
  };
  for (const auto& c : cases) {
    stage(c.phase, c.version, c.own_digest);
    EXPECT_EQ(answer(kId, c.token), c.expected) << c.what;
    EXPECT_FALSE(fs::exists(folder / "health.json")) << c.what;
  }
  EXPECT_EQ(answer(std::string(31, 'a')), "invalid transaction ID");
  fs::remove(folder / "self-update.json");
  EXPECT_EQ(answer(), "No such file or directory (os error 2)");
  stage("awaiting-health", 4);
  fs::remove(folder / "launcher-update.qvm");
  EXPECT_EQ(answer(), "No such file or directory (os error 2)");
  stage("awaiting-health", 4);
  config.manifest_key[0] ^= 1;  // metadata that does not open with this client's keys
  EXPECT_NE(answer(), "ok");
  EXPECT_FALSE(fs::exists(folder / "health.json"));
}

}  // namespace
}  // namespace qv
