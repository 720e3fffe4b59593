// Launcher.exe: the program installed in the client root.
//
// The desktop application is not built yet; until it is, the program loads and
// checks its configuration, says what it found and what it cannot do, and ends.
#include <cstdio>

#include "core/foundations/config.hpp"

int main() {
  auto path = qv::config_path();
  if (!path) {
    std::fprintf(stderr, "QV Velmorane: no configuration found: %s\n", path.error().to_string().c_str());
    return 0;
  }
  auto config = qv::load_config(*path);
  if (!config) {
    std::fprintf(stderr, "Configuration: %s\n", config.error().to_string().c_str());
    return 0;
  }
  std::printf("QV Velmorane: client root %s\n", config->root.c_str());
  std::printf("The window, the check and the install are not built yet; nothing was changed.\n");
  return 0;
}
