// LauncherUpdater.exe, installed beside Launcher.exe. Its standard streams are
// /dev/null when a launcher starts it; what it has to say goes to the client's
// diagnostics log.
#include <cstdio>
#include <string>
#include <vector>

#include "core/foundations/config.hpp"
#include "updater/updater.hpp"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv, argv + argc);
  auto invocation = qv::updater::parse_invocation(args);
  if (!invocation) {
    std::fprintf(stderr, "LauncherUpdater.exe: %s\n", invocation.error().to_string().c_str());
    return qv::updater::kExitUsage;
  }
  auto config = qv::load_config(invocation->config_file);
  if (!config) {
    std::fprintf(stderr, "Configuration: %s\n", config.error().to_string().c_str());
    return qv::updater::kExitUsage;
  }
  return qv::updater::run(*invocation, *config);
}
