// The updater program end to end: real launcher stand-ins (an old build that
// reports version 3 and a new one of version 4), the real LauncherUpdater.exe,
// the loopback server publishing the update, and crashes by fail points and
// SIGKILL.
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "core/foundations/hashing.hpp"
#include "core/self_update/staging.hpp"
#include "core/self_update/update_journal.hpp"
#include "support/child_process.hpp"
#include "support/self_update_client.hpp"

namespace qv {
namespace {

namespace fs = std::filesystem;
using test::read_file;

const std::string kRejectedText = "This launcher update previously failed; retained diagnostics require review";

class UpdaterRun : public ::testing::Test {
 protected:
  test::SelfUpdateClient client;
  fs::path report = client.root() / "report.txt";
  fs::path launcher = client.root() / "Launcher.exe";
  std::string v3 = read_file(QV_STANDIN_V3);
  std::string v4 = read_file(QV_STANDIN_V4);
  ClientConfig config;

  void SetUp() override {
    fs::copy_file(QV_STANDIN_V3, launcher);
    fs::copy_file(QV_UPDATER_EXE, client.root() / "LauncherUpdater.exe");
    client.publish_launcher(4, test::file_source(QV_STANDIN_V4));
    config = client.write_config();
  }

  test::ChildEnv env(test::ChildEnv more = {}) {
    more.emplace_back("QV_STANDIN_REPORT", report.string());
    return more;
  }
  // Starts Launcher.exe as a player would.
  test::Child start_launcher(const test::ChildEnv& more = {}) {
    return test::Child::start({launcher.string(), "--config", client.config_file().string()}, env(more));
  }
  // Stages the published update as the version 3 launcher does.
  fs::path stage() {
    CancelFlag cancel;
    auto outcome = stage_launcher_update(config, cancel, LineSink::discard(), 3);
    EXPECT_TRUE(outcome && outcome->kind == SelfUpdateOutcome::Kind::Staged);
    return outcome ? outcome->transaction_dir : fs::path();
  }
  // Starts the updater on a staged folder exactly as the launcher's hand-off
  // does, for a starter that has already ended.
  test::Child start_updater(const fs::path& folder, const test::ChildEnv& more = {}) {
    fs::copy_file(client.root() / "LauncherUpdater.exe", folder / "Updater.running.exe");
    auto ended = test::Child::start({"true"});
    const auto pid = ended.pid();
    ended.wait();
    return test::Child::start({(folder / "Updater.running.exe").string(), "--config", client.config_file().string(),
                               "--transaction", folder.filename().string(), "--wait-pid", std::to_string(pid)},
                              env(more));
  }
  test::Child start_recovery(const test::ChildEnv& more = {}) {
    return test::Child::start({(client.root() / "LauncherUpdater.exe").string(), "--config",
                               client.config_file().string(), "--recover-only", "yes"},
                              env(more));
  }

  std::vector<std::string> report_lines() {
    std::vector<std::string> lines;
    std::ifstream in(report);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  // Waits for a report line starting with `prefix` and returns it whole.
  std::string await_report(std::string_view prefix, std::chrono::seconds limit = std::chrono::seconds(60)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      for (const auto& line : report_lines()) {
        if (line.starts_with(prefix)) return line;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ADD_FAILURE() << "no report line " << prefix << "; report:\n" << fmt::format("{}", fmt::join(report_lines(), "\n"));
    return {};
  }
  std::string phase(const fs::path& folder) {
    auto journal = read_update_journal(folder);
    return journal ? journal->phase : journal.error().to_string();
  }
  std::string diagnostics() {
    const auto log = client.root() / ".launcher/state/errors.txt";
    return fs::exists(log) ? read_file(log) : std::string();
  }
  std::string fingerprint(const fs::path& folder) {
    return hash_file(folder / "launcher-update.qvm", HashAlgorithm::Sha256).value();
  }
};

TEST_F(UpdaterRun, AnOldLauncherIsReplacedAndTheNewOneAnswers) {
  // A configuration in a folder of its own, with blanks and non-ASCII
  // letters, is followed by every program of the chain.
  config = client.write_config(true, false, client.root() / "my config ไทย/launcher.json");
  auto old = start_launcher();
  EXPECT_EQ(await_report("v3 staged"), "v3 staged; updater started");
  EXPECT_EQ(await_report("v4 health"), "v4 health answered");
  EXPECT_EQ(await_report("v4 no update"), "v4 no update");
  EXPECT_EQ(old.wait().exit_code, 0);
  EXPECT_EQ(report_lines(), (std::vector<std::string>{"v3 start-up", "v3 staged; updater started",
                                                      "v4 health answered", "v4 start-up", "v4 no update"}));
  EXPECT_TRUE(read_file(launcher) == v4);
  // The new launcher's start-up recovery removed the completed folder, and
  // its own up-to-date answer left none.
  EXPECT_TRUE(client.transaction_dirs().empty());
  EXPECT_FALSE(fs::exists(client.root() / ".launcher/state/rejected-update.txt"));
  EXPECT_NE(diagnostics().find("launcher updated to version 4"), std::string::npos) << diagnostics();
}

TEST_F(UpdaterRun, ANewLauncherThatFailsItsHandshakeIsRolledBackAndRejected) {
  const auto folder = stage();
  std::ofstream(folder / "Launcher.new.exe", std::ios::app) << "tampered";
  auto updater = start_updater(folder);
  EXPECT_EQ(updater.wait().exit_code, 1);
  EXPECT_EQ(await_report("v4 health"), "v4 health failed: running executable hash mismatch");
  // The restored launcher starts and refuses the same update.
  EXPECT_EQ(await_report("v3 failed"), "v3 failed: " + kRejectedText);
  EXPECT_TRUE(read_file(launcher) == v3);
  EXPECT_TRUE(read_file(folder / "Launcher.backup.exe") == v3);
  EXPECT_EQ(phase(folder), "rolled-back");
  EXPECT_EQ(read_file(client.root() / ".launcher/state/rejected-update.txt"), fingerprint(folder));
  EXPECT_NE(diagnostics().find("launcher update to version 4 failed: the new launcher ended with exit code 1"),
            std::string::npos)
      << diagnostics();

  // An older published version is no update, not a rejection.
  client.publish_launcher(3, test::file_source(QV_STANDIN_V3));
  CancelFlag cancel;
  auto outcome = stage_launcher_update(config, cancel, LineSink::discard(), 3);
  ASSERT_TRUE(outcome) << outcome.error().to_string();
  EXPECT_EQ(outcome->kind, SelfUpdateOutcome::Kind::NoUpdate);
}

TEST_F(UpdaterRun, KilledWhileAwaitingHealthTheNextStartRecovers) {
  const auto folder = stage();
  auto updater = start_updater(folder, {{"QV_STANDIN_HANG", "1"}});
  const auto hanging = await_report("v4 hanging ");
  EXPECT_EQ(phase(folder), "awaiting-health");
  updater.kill(SIGKILL);
  EXPECT_EQ(updater.wait().signal, SIGKILL);
  ::kill(std::stoi(hanging.substr(std::string("v4 hanging ").size())), SIGKILL);
  EXPECT_TRUE(read_file(launcher) == v4);

  config = client.write_config(false);  // the next start must not stage again
  auto next = start_launcher();
  EXPECT_EQ(await_report("v4 in flight"), "v4 in flight; recovery updater started");
  EXPECT_EQ(await_report("v3 no update"), "v3 no update");
  EXPECT_TRUE(read_file(launcher) == v3);
  EXPECT_EQ(phase(folder), "rolled-back");
  // A crash is not the update's fault: it is not rejected.
  EXPECT_FALSE(fs::exists(client.root() / ".launcher/state/rejected-update.txt"));
}

TEST_F(UpdaterRun, CrashedAtEachStepTheNextStartRecovers) {
  struct Case {
    const char* point;
    bool tamper;               // the handshake fails, so the crash comes during the rollback
    const std::string* left;   // Launcher.exe after the crash
    const char* phase;
  };
  const Case cases[] = {
      {"updater-replacing", false, &v3, "replacing"},
      {"updater-backup-kept", false, &v3, "replacing"},
      {"updater-launcher-replaced", false, &v4, "replacing"},
      {"updater-awaiting-health", false, &v4, "awaiting-health"},
      {"updater-rejected", true, nullptr, "awaiting-health"},
      {"restore-copied", true, nullptr, "awaiting-health"},
      {"restore-set-aside", true, nullptr, "awaiting-health"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.point);
    fs::remove_all(client.transactions());
    fs::remove(client.root() / ".launcher/state/rejected-update.txt");
    fs::remove(report);
    fs::remove(launcher);
    fs::copy_file(QV_STANDIN_V3, launcher);
    config = client.write_config();
    const auto folder = stage();
    if (c.tamper) std::ofstream(folder / "Launcher.new.exe", std::ios::app) << "tampered";
    auto updater = start_updater(folder, {{"QV_TEST_FAILPOINT", c.point}});
    EXPECT_EQ(updater.wait().exit_code, 77);
    ASSERT_TRUE(fs::exists(launcher));
    if (c.left) {
      EXPECT_TRUE(read_file(launcher) == *c.left);
    }
    EXPECT_EQ(phase(folder), c.phase);

    config = client.write_config(false);
    auto next = start_launcher();
    EXPECT_EQ(await_report("v3 no update"), "v3 no update");
    EXPECT_TRUE(read_file(launcher) == v3);
    EXPECT_EQ(phase(folder), "rolled-back");
    EXPECT_EQ(fs::exists(client.root() / ".launcher/state/rejected-update.txt"), c.tamper);
  }
}

TEST_F(UpdaterRun, ARecoveryKilledAtEachStepIsRunAgain) {
  const auto folder = stage();
  EXPECT_EQ(start_updater(folder, {{"QV_TEST_FAILPOINT", "updater-awaiting-health"}}).wait().exit_code, 77);
  config = client.write_config(false);
  for (const char* point : {"restore-copied", "restore-set-aside"}) {
    EXPECT_EQ(start_recovery({{"QV_TEST_FAILPOINT", point}}).wait().exit_code, 77) << point;
    EXPECT_TRUE(read_file(launcher) == v4) << point;
    EXPECT_EQ(phase(folder), "awaiting-health");
  }
  EXPECT_EQ(start_recovery().wait().exit_code, 0);
  EXPECT_EQ(await_report("v3 no update"), "v3 no update");
  EXPECT_TRUE(read_file(launcher) == v3);
  EXPECT_EQ(phase(folder), "rolled-back");
}

TEST_F(UpdaterRun, ANewLauncherThatNeverAnswersIsStoppedAndRolledBack) {
  const auto folder = stage();
  auto updater = start_updater(folder, {{"QV_STANDIN_HANG", "1"}});
  const auto hanging = await_report("v4 hanging ");
  const int pid = std::stoi(hanging.substr(std::string("v4 hanging ").size()));
  EXPECT_EQ(updater.wait().exit_code, 1);
  EXPECT_EQ(::kill(pid, 0), -1);  // stopped and reaped by the updater
  EXPECT_EQ(await_report("v3 failed"), "v3 failed: " + kRejectedText);
  EXPECT_TRUE(read_file(launcher) == v3);
  EXPECT_EQ(phase(folder), "rolled-back");
  EXPECT_NE(diagnostics().find("the new launcher did not answer within 30 s"), std::string::npos) << diagnostics();
}

// With no Launcher.exe before the update there is nothing to put back: the
// rejected launcher is set aside rather than left (and started) in its place.
TEST_F(UpdaterRun, WithoutALauncherBeforeTheRejectedOneIsSetAsideAndNothingIsStarted) {
  fs::remove(launcher);
  const auto folder = stage();
  std::ofstream(folder / "Launcher.new.exe", std::ios::app) << "tampered";
  const std::string tampered = read_file(folder / "Launcher.new.exe");
  auto updater = start_updater(folder);
  EXPECT_EQ(updater.wait().exit_code, 1);
  EXPECT_EQ(await_report("v4 health"), "v4 health failed: running executable hash mismatch");

  EXPECT_FALSE(fs::exists(launcher));
  std::vector<fs::path> set_aside;
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (entry.path().filename().string().starts_with("Launcher.rejected-")) set_aside.push_back(entry.path());
  }
  ASSERT_EQ(set_aside.size(), 1u);
  EXPECT_TRUE(read_file(set_aside[0]) == tampered);
  EXPECT_EQ(phase(folder), "rolled-back");
  EXPECT_EQ(read_file(client.root() / ".launcher/state/rejected-update.txt"), fingerprint(folder));
  const std::string said = "launcher update to version 4 undone: there was no Launcher.exe before it, so the new one "
                           "is set aside as " + set_aside[0].string() + " and no launcher is started";
  EXPECT_NE(diagnostics().find(said), std::string::npos) << diagnostics();
  EXPECT_EQ(diagnostics().find("rolled back"), std::string::npos) << diagnostics();
  // Only the handshake ran: no launcher was started after it.
  EXPECT_EQ(report_lines(), std::vector<std::string>{"v4 health failed: running executable hash mismatch"});
}

// A failure of the updater itself (here a link it cannot make, because the
// backup's name is taken) is no verdict on the update: it is put back without
// being refused, nothing is started, and the player's next start gets it.
TEST_F(UpdaterRun, ALocalFailureOfTheUpdaterDoesNotRefuseTheUpdate) {
  const auto folder = stage();
  fs::copy_file(QV_STANDIN_V3, folder / "Launcher.backup.exe");
  auto updater = start_updater(folder);
  EXPECT_EQ(updater.wait().exit_code, 1);
  EXPECT_TRUE(read_file(launcher) == v3);
  EXPECT_EQ(phase(folder), "rolled-back");
  EXPECT_FALSE(fs::exists(client.root() / ".launcher/state/rejected-update.txt"));
  EXPECT_NE(diagnostics().find("launcher update to version 4 failed: File exists (os error 17)"), std::string::npos)
      << diagnostics();
  EXPECT_NE(diagnostics().find("the launcher is not started; its next start tries the update again"),
            std::string::npos)
      << diagnostics();
  EXPECT_TRUE(report_lines().empty());

  auto next = start_launcher();
  EXPECT_EQ(await_report("v4 no update"), "v4 no update");
  EXPECT_EQ(next.wait().exit_code, 0);
  EXPECT_TRUE(read_file(launcher) == v4);
  EXPECT_EQ(report_lines(), (std::vector<std::string>{"v3 start-up", "v3 staged; updater started",
                                                      "v4 health answered", "v4 start-up", "v4 no update"}));
}

TEST_F(UpdaterRun, WithoutTheUpdaterTheOldLauncherSaysSo) {
  fs::remove(client.root() / "LauncherUpdater.exe");
  auto old = start_launcher();
  EXPECT_EQ(await_report("v3 start updater"),
            "v3 start updater: LauncherUpdater.exe must be distributed beside Launcher.exe");
  EXPECT_TRUE(read_file(launcher) == v3);
  // The staged update waits in its folder for an updater to be installed.
  ASSERT_EQ(client.transaction_dirs().size(), 1u);
  EXPECT_EQ(phase(client.transaction_dirs()[0]), "staged");
}

}  // namespace
}  // namespace qv
