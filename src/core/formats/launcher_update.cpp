#include "core/formats/launcher_update.hpp"

#include <array>
#include <string_view>

#include "core/formats/cbor_fields.hpp"
#include "core/formats/envelope.hpp"
#include "core/formats/manifest_codec.hpp"
#include "core/formats/pack.hpp"

namespace qv {
namespace {

constexpr std::array<std::string_view, 3> kFields = {"format", "version", "launcher"};
constexpr std::uint64_t kMaxLauncherBytes = 134217727;        // below 128 MiB
constexpr std::uint64_t kMaxLauncherObjectBytes = 268435455;  // below 256 MiB

}  // namespace

Result<LauncherUpdate> read_launcher_update(std::span<const std::uint8_t> bytes, const ClientConfig& config) {
  const std::vector<std::uint8_t> plaintext = QV_TRY(open_envelope(bytes, config.public_key, config.manifest_key));
  CborReader reader(plaintext);
  LauncherUpdate update;
  auto decoded = cbor_decode_record(reader, kFields, [&](std::size_t i) -> CborResult<void> {
    switch (i) {
      case 0: update.format = QV_TRY(cbor_read_u32(reader)); return {};
      case 1: update.version = QV_TRY(cbor_read_u64(reader)); return {};
      default: update.launcher = QV_TRY(decode_file_entry(reader)); return {};
    }
  });
  if (!decoded) return fail(decoded.error().to_error());
  if (reader.remaining() != 0) return fail("trailing CBOR");

  if (update.format != 1 || update.version == 0 || update.launcher.path != "Launcher.exe") {
    return fail("update metadata");
  }
  if (update.launcher.bytes > kMaxLauncherBytes || update.launcher.algorithm == HashAlgorithm::Read) {
    return fail("update size/hash");
  }
  if (update.launcher.object_bytes > kMaxLauncherObjectBytes) return fail("update size/hash");
  QV_TRY(check_object_name(update.launcher.object));
  return update;
}

}  // namespace qv
