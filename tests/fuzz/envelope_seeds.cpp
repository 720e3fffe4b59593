// Envelopes sealed and signed with the test keys: manifests, launcher-update
// records and an empty body.
#include <fmt/format.h>

#include "fuzz_support.hpp"
#include "seed_releases.hpp"

void qv::fuzz::write_seeds(SeedWriter& out) {
  const auto& keys = release_keys();
  int n = 0;
  for (const Manifest& manifest : seed_manifests()) {
    out.add(fmt::format("manifest-{}", n++), test::manifest_envelope(keys, manifest));
  }
  FileEntry launcher = test::sample_entry("Launcher.exe");
  out.add("launcher-update", test::launcher_update_envelope(keys, 1, 5, launcher));
  out.add("empty", test::seal_envelope(keys, {}));
}
