#include "support/xvfb.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

extern char** environ;

namespace qv::testing {

Xvfb::Xvfb(const std::string& screen, const std::vector<std::string>& options) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    reason_ = "pipe failed";
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // The server writes the display number it chose to descriptor 3.
  posix_spawn_file_actions_adddup2(&actions, fds[1], 3);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  // -noreset: a server resets when its last client leaves and refuses new
  // clients while it does, so a test that connects right after another
  // disconnected would fail at random.
  std::vector<std::string> owned{"Xvfb", "-displayfd", "3", "-nolisten", "tcp", "-noreset"};
  owned.insert(owned.end(), options.begin(), options.end());
  owned.insert(owned.end(), {"-screen", "0", screen});
  std::vector<char*> argv;
  for (auto& a : owned) argv.push_back(a.data());
  argv.push_back(nullptr);
  const int rc = posix_spawnp(&pid_, "Xvfb", &actions, nullptr, argv.data(), environ);
  if (rc != 0) {
    pid_ = -1;
    reason_ = "Xvfb is not installed (cannot start Xvfb: " + std::to_string(rc) + ")";
  }
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  std::string number;
  if (pid_ > 0) {
    for (;;) {
      pollfd p{fds[0], POLLIN, 0};
      if (::poll(&p, 1, 10000) <= 0) break;
      char c;
      if (::read(fds[0], &c, 1) != 1 || c == '\n') break;
      number += c;
    }
    if (number.empty()) reason_ = "Xvfb did not report a display";
  }
  ::close(fds[0]);
  if (!number.empty()) display_ = ":" + number;
}

Xvfb::~Xvfb() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace qv::testing
