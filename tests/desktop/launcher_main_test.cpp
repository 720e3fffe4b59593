// Launcher.exe as a child process: its exit codes and where a fatal error
// goes. The children run without a display, so the window cannot be created
// and the message box falls back to standard error.
#include <filesystem>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/child_process.hpp"
#include "support/release_builder.hpp"
#include "support/temp_dir.hpp"

namespace qv {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

// Runs the launcher (`program`, by default the one built) with `args`,
// without a display, its standard error joined to what the parent reads.
test::ChildExit run_launcher(const std::vector<std::string>& args, const std::string& program = QV_LAUNCHER_EXE) {
  std::vector<std::string> argv = {"/usr/bin/env", "-u", "DISPLAY", "/bin/sh", "-c", "exec \"$0\" \"$@\" 2>&1",
                                   program};
  argv.insert(argv.end(), args.begin(), args.end());
  return test::run_child(argv);
}

class LauncherMainTest : public ::testing::Test {
 protected:
  // A loadable configuration for a client in the temporary folder.
  fs::path write_config() {
    const auto keys = test::ReleaseKeys::from_seed(3);
    return test::write_file(dir / "launcher.json",
                            test::launcher_json(keys, dir.path(), "https://example.invalid/manifest.qvm",
                                                "https://example.invalid/objects/"));
  }
  std::string errors() const {
    const fs::path log = dir / ".launcher/state/errors.txt";
    return fs::exists(log) ? test::read_file(log) : std::string();
  }
  TempDir dir;
};

TEST_F(LauncherMainTest, AFatalErrorUnderTheHealthHandshakeGoesToStandardErrorWithExitOne) {
  const fs::path config = write_config();
  const auto ended = run_launcher({"--config", config.string(), "--health-id", std::string(32, 'a')});
  EXPECT_EQ(ended.exit_code, 1);
  EXPECT_TRUE(ended.output.starts_with("create window: no X display")) << ended.output;
  EXPECT_NE(errors().find("launcher fatal]\ncreate window: no X display"), std::string::npos) << errors();
}

TEST_F(LauncherMainTest, OtherwiseTheMessageBoxShowsItAndTheExitCodeIsZero) {
  const fs::path config = write_config();
  // "--health-id" in last place has no value and counts as absent.
  const auto ended = run_launcher({"--config", config.string(), "--health-id"});
  EXPECT_EQ(ended.exit_code, 0);
  EXPECT_TRUE(ended.output.starts_with("QV Velmorane: create window: no X display")) << ended.output;
  EXPECT_NE(errors().find("launcher fatal]"), std::string::npos);
}

TEST_F(LauncherMainTest, RenderPreviewRefusalsAreFatal) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const std::string absent = (dir / "absent.json").string();
  const std::string out = (dir / "out.png").string();
  const std::vector<Case> cases = {
      {{"--config", absent, "--render-preview", out, "--preview-scale", "2.01"}, "preview scale out of range"},
      {{"--config", absent, "--render-preview", out, "--preview-progress", "-1"}, "invalid digit found in string"},
      {{"--config", absent, "--preview-font-file", out, "--preview-font-family", "X"}, "font choice is preview-only"},
  };
  for (const Case& c : cases) {
    const auto ended = run_launcher(c.args);
    EXPECT_EQ(ended.exit_code, 0);
    EXPECT_EQ(ended.output, "QV Velmorane: " + c.message + "\n");
  }
  const fs::path config = write_config();
  const auto ended = run_launcher({"--config", config.string(), "--render-watch", out});
  EXPECT_EQ(ended.output, "QV Velmorane: render diagnostics require no client configuration\n");
  EXPECT_FALSE(fs::exists(out));
}

TEST_F(LauncherMainTest, ARenderPreviewNeedsNoDisplayAndEndsWithZero) {
  // A copy of the program in a folder without launcher.json: no
  // configuration is asked for or found, so nothing is recorded.
  const fs::path program = dir / "bin/Launcher.exe";
  fs::create_directories(program.parent_path());
  fs::copy_file(QV_LAUNCHER_EXE, program);
  const fs::path out = dir / "shots/frame.png";
  fs::create_directories(out.parent_path());
  const auto ended = run_launcher({"--render-preview", out.string(), "--preview-scale", "0.5", "--preview-progress",
                                   "100", "--preview-hover", "0"},
                                  program.string());
  EXPECT_EQ(ended.exit_code, 0);
  EXPECT_EQ(ended.output, "");
  EXPECT_TRUE(fs::exists(out));
  EXPECT_TRUE(fs::exists(dir / "shots/frame-buttons.png"));
  const auto report = nlohmann::json::parse(test::read_file(dir / "shots/frame.json"));
  EXPECT_EQ(report["width"], 768);
  EXPECT_EQ(report["hover"], 0);
  EXPECT_EQ(report["ready"], true);
  EXPECT_EQ(report["progress"]["stage"], "Done");
  EXPECT_EQ(errors(), "");
  EXPECT_FALSE(fs::exists(dir / "bin/.launcher"));
}

// A configuration that cannot be found or loaded is recorded and shown, not
// fatal, and its text names the file (and the root, where the root fails):
// a mistyped --config path, a broken file, a root that is missing or is a
// file. The preview may then run, as no configuration is held.
TEST_F(LauncherMainTest, AConfigurationThatFailsToLoadIsRecordedByItsFileAndNotFatal) {
  const auto keys = test::ReleaseKeys::from_seed(3);
  const auto config_for = [&](const fs::path& root) {
    return test::launcher_json(keys, root, "https://example.invalid/manifest.qvm", "https://example.invalid/objects/");
  };
  test::write_file(dir / "client.dat", "not a folder");
  const fs::path broken = test::write_file(dir / "broken.json", "{");
  const fs::path file_root = test::write_file(dir / "file-root.json", config_for(dir / "client.dat"));
  const fs::path missing_root = test::write_file(dir / "missing-root.json", config_for(dir / "nowhere"));
  const fs::path mistyped = dir / "launcher.jsno";
  struct Case {
    fs::path config;
    std::string cause;
  };
  const std::vector<Case> cases = {
      {mistyped, "No such file or directory (os error 2)"},
      {broken, "EOF while parsing an object at line 1 column 1"},
      {file_root, "client root " + (dir / "client.dat").string() + ": Not a directory (os error 20)"},
      {missing_root, "client root " + (dir / "nowhere").string() + ": No such file or directory (os error 2)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.config.string());
    fs::remove(dir / ".launcher/state/errors.txt");
    const fs::path out = dir / "frame.png";
    const auto ended = run_launcher({"--config", c.config.string(), "--render-preview", out.string()});
    EXPECT_EQ(ended.exit_code, 0);
    EXPECT_EQ(ended.output, "");
    EXPECT_TRUE(fs::exists(out));
    const std::string record = fmt::format(" configuration]\nConfiguration: {}: {}\n\n", c.config.string(), c.cause);
    EXPECT_TRUE(errors().ends_with(record)) << errors();
  }
}

}  // namespace
}  // namespace qv
