#include "core/self_update/handoff.hpp"

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/foundations/fileops.hpp"
#include "core/foundations/lock.hpp"
#include "core/foundations/paths.hpp"
#include "platform/session_spawn.hpp"
#include "support/self_update_client.hpp"

namespace qv {
namespace {

namespace fs = std::filesystem;
using test::read_file;

// The launcher stand-in copied as LauncherUpdater.exe writes down how it was
// started and ends.
class Handoff : public ::testing::Test {
 protected:
  test::SelfUpdateClient client;
  fs::path record = client.root() / "record.json";
  fs::path config_file = client.root() / "my config ไทย ünï/launcher.json";
  ClientConfig config = client.write_config(true, false, config_file);
  std::string folder_id = random_hex_id();
  fs::path folder = client.transactions() / folder_id;

  void SetUp() override {
    fs::copy_file(QV_STANDIN_V3, client.root() / "LauncherUpdater.exe");
    fs::create_directories(folder);
    ::setenv("QV_STANDIN_RECORD", record.c_str(), 1);
  }
  void TearDown() override { ::unsetenv("QV_STANDIN_RECORD"); }

  // The probe's record once it is written whole; the probe is reaped.
  nlohmann::json recorded() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      if (fs::exists(record)) {
        auto parsed = nlohmann::json::parse(read_file(record), nullptr, false);
        if (!parsed.is_discarded()) {
          (void)platform::reap_child(parsed["pid"].get<std::uint32_t>());
          return parsed;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ADD_FAILURE() << "no record";
    return {};
  }
  void expect_detached(const nlohmann::json& r) {
    EXPECT_EQ(r["cwd"], client.root().string());
    EXPECT_EQ(r["fds"], nlohmann::json::array({0, 1, 2}));
    EXPECT_EQ(r["streams"], nlohmann::json::array({"/dev/null", "/dev/null", "/dev/null"}));
    EXPECT_EQ(r["sid"], r["pid"]);  // leads a session of its own
  }
};

TEST_F(Handoff, TheStagedStartPassesConfigTransactionAndPidAsThreeOptions) {
  // Held while starting, as a launcher may: the updater must not inherit it.
  auto lock = acquire_client_lock(client.root());
  ASSERT_TRUE(lock);
  ASSERT_TRUE(spawn_updater(config, config_file, folder, 4242));
  const auto r = recorded();
  const auto copy = folder / "Updater.running.exe";
  EXPECT_EQ(r["args"], nlohmann::json::array({copy.string(), "--config", config_file.string(), "--transaction",
                                              folder_id, "--wait-pid", "4242"}));
  expect_detached(r);
  EXPECT_EQ(read_file(copy), read_file(client.root() / "LauncherUpdater.exe"));
  EXPECT_EQ(fs::status(copy).permissions() & fs::perms::owner_exec, fs::perms::owner_exec);
}

TEST_F(Handoff, TheRecoveryStartUsesANewFolderAndItsOwnPid) {
  ASSERT_TRUE(spawn_recovery_updater(config, config_file));
  const auto r = recorded();
  const auto dirs = client.transaction_dirs();
  ASSERT_EQ(dirs.size(), 2u);
  const auto recovery = dirs[0] == folder ? dirs[1] : dirs[0];
  EXPECT_TRUE(is_hex_id(recovery.filename().string()));
  EXPECT_EQ(r["args"], nlohmann::json::array({(recovery / "Updater.recovery.exe").string(), "--config",
                                              config_file.string(), "--recover-only", "yes", "--wait-pid",
                                              std::to_string(::getpid())}));
  expect_detached(r);
  EXPECT_EQ(std::distance(fs::directory_iterator(recovery), fs::directory_iterator()), 1);
}

TEST_F(Handoff, AMissingUpdater) {
  fs::remove(client.root() / "LauncherUpdater.exe");
  auto staged = spawn_updater(config, config_file, folder, 1);
  ASSERT_FALSE(staged);
  EXPECT_EQ(staged.error().to_string(), "LauncherUpdater.exe must be distributed beside Launcher.exe");
  EXPECT_FALSE(fs::exists(folder / "Updater.running.exe"));
  fs::create_directory(client.root() / "LauncherUpdater.exe");
  EXPECT_EQ(spawn_updater(config, config_file, folder, 1).error().to_string(),
            "LauncherUpdater.exe must be distributed beside Launcher.exe");
  fs::remove(client.root() / "LauncherUpdater.exe");

  auto recovery = spawn_recovery_updater(config, config_file);
  ASSERT_FALSE(recovery);
  EXPECT_EQ(recovery.error().to_string(), "No such file or directory (os error 2)");
  const auto dirs = client.transaction_dirs();
  ASSERT_EQ(dirs.size(), 2u);
  for (const auto& dir : dirs) EXPECT_EQ(fs::directory_iterator(dir), fs::directory_iterator());
}

TEST_F(Handoff, AFolderPathWithoutALastComponent) {
  EXPECT_EQ(spawn_updater(config, config_file, folder.string() + "/", 1).error().to_string(), "transaction ID");
}

}  // namespace
}  // namespace qv
