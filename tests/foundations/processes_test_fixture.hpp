// Real processes for the process tests: copies of the fake game started as
// children of the test, a client root with games inside and outside it, and a
// private X server for the window tests.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "core/foundations/processes.hpp"
#include "support/temp_dir.hpp"
#include "support/xvfb.hpp"

namespace qv {

// Readable candidates in test failures.
inline void PrintTo(const ProcessCandidate& candidate, std::ostream* out) {
  *out << "{" << candidate.pid << ", " << candidate.image << "}";
}

}  // namespace qv

namespace qv::testing {

namespace fs = std::filesystem;

// How the fake game tells how it ended.
inline constexpr int kClosedByWindow = 10;
inline constexpr int kClosedBySignal = 11;

// Copies the fake game to `target` (folders created, mode 0755).
void install_fake_game(const fs::path& target);

// A started copy of the fake game, killed and reaped when it goes out of
// scope unless the test reaped it first.
class FakeGame {
 public:
  // A whole command line whose last program is a copy of the fake game, such
  // as one that runs it inside a namespace of its own.
  struct Command {
    std::vector<std::string> argv;
  };

  // Starts `program` with `args` and waits until it reports itself ready.
  FakeGame(const fs::path& program, std::vector<std::string> args = {});
  // Starts the command with the readiness argument added at its end.
  explicit FakeGame(Command command);
  // Starts `program` with `args` as the process `pid`, as a reused id would
  // be, and waits until it is ready. Nothing where the test may not choose an
  // id (it needs CAP_SYS_ADMIN) or the id is taken; `reason` then says why.
  static std::unique_ptr<FakeGame> start_as(std::uint32_t pid, const fs::path& program, std::vector<std::string> args,
                                            std::string& reason);
  ~FakeGame();
  FakeGame(const FakeGame&) = delete;
  FakeGame& operator=(const FakeGame&) = delete;

  std::uint32_t pid() const { return static_cast<std::uint32_t>(pid_); }
  // Waits for the exit and returns the wait status.
  int reap();
  // Asks it to end (SIGTERM), so it takes away what it published, and reaps it.
  void stop();
  // True while the process has not exited (a zombie has exited).
  bool running() const;

 private:
  FakeGame() = default;
  // Waits until the started process has created `ready`.
  void wait_ready(const std::string& ready);
  pid_t pid_ = -1;
  bool reaped_ = false;
};

// True while /proc still has an entry for `pid` (zombies included).
bool process_entry_exists(std::uint32_t pid);

std::vector<std::uint32_t> pids_of(const std::vector<ProcessCandidate>& candidates);
// The ids and images of the candidates, which is what a test can foresee.
std::vector<std::pair<std::uint32_t, fs::path>> listed(const std::vector<ProcessCandidate>& candidates);
std::vector<std::uint32_t> sorted(std::vector<std::uint32_t> pids);

// A client root with copies of the fake game inside and outside it. The
// sibling folder's name begins with the root's name, so a prefix test on
// text would wrongly take it for inside. No display is named unless a test
// names one.
class GameProcesses : public ::testing::Test {
 protected:
  void SetUp() override;

  // A copy of the fake game at `relative` under the root.
  fs::path game(const std::string& relative);
  // A copy of the fake game at `relative` beside the root (canonical path).
  fs::path outside(const std::string& relative);

  // Closes the client, whose only game is `only`, and expects the game to
  // have ended by itself within the wait in the way `exit_code` tells.
  void expect_closed_on_request(FakeGame& only, int exit_code);

  test::TempDir dir_;
  fs::path root_;
};

// Windows under a private X server with no window manager: top-level windows
// are the root window's children.
class GameWindows : public GameProcesses {
 protected:
  static void SetUpTestSuite();
  static void TearDownTestSuite();
  void SetUp() override;
  void TearDown() override;

  static Xvfb* server_;
};

}  // namespace qv::testing
