// Real processes for the process tests: copies of the fake game started as
// children of the test.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/xvfb.hpp"

namespace qv::testing {

namespace fs = std::filesystem;

// Copies the fake game to `target` (folders created, mode 0755).
void install_fake_game(const fs::path& target);

// A started copy of the fake game, killed and reaped when it goes out of
// scope unless the test reaped it first.
class FakeGame {
 public:
  // Starts `program` with `args` and waits until it reports itself ready.
  FakeGame(const fs::path& program, std::vector<std::string> args = {});
  ~FakeGame();
  FakeGame(const FakeGame&) = delete;
  FakeGame& operator=(const FakeGame&) = delete;

  std::uint32_t pid() const { return static_cast<std::uint32_t>(pid_); }
  // Waits for the exit and returns the wait status.
  int reap();
  // True while the process has not exited (a zombie has exited).
  bool running() const;

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
};

// True while /proc still has an entry for `pid` (zombies included).
bool process_entry_exists(std::uint32_t pid);

}  // namespace qv::testing
