// The launcher-update record: the input is the envelope's plaintext, sealed
// and signed here with the test keys so that every mutation reaches the
// record's decoder and checks. A record that is accepted must keep the rules
// it was checked by, and must read the same once written in the fixed form.
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/formats/launcher_update.hpp"
#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto& keys = qv::fuzz::release_keys();
  qv::ClientConfig config;
  config.public_key = keys.public_key;
  config.manifest_key = keys.manifest_key;
  const auto envelope = qv::test::seal_envelope(keys, std::span<const std::uint8_t>(data, size));
  auto update = qv::read_launcher_update(envelope, config);
  if (!update) {
    const std::string text = update.error().to_string();
    qv::fuzz::fuzz_check(text != "invalid envelope" && !text.starts_with("signature error") &&
                             text != "manifest authentication failed",
                         "a sealed record was refused as an envelope", text);
    return 0;
  }
  qv::fuzz::fuzz_check(update->format == 1 && update->version != 0 && update->launcher.path == "Launcher.exe" &&
                           update->launcher.algorithm != qv::HashAlgorithm::Read,
                       "an accepted record breaks its rules");
  const auto body = qv::test::launcher_update_body(update->format, update->version, update->launcher);
  auto reread = qv::read_launcher_update(qv::test::seal_envelope(keys, body), config);
  qv::fuzz::fuzz_check(reread.has_value() && *reread == *update, "the fixed form reads differently",
                       reread ? "" : reread.error().to_string());
  return 0;
}
