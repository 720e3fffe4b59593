// Launcher-update records as the release builder writes them: several
// versions and hash algorithms, and the map in another key order.
#include "core/formats/cbor.hpp"
#include "core/formats/manifest_codec.hpp"
#include "fuzz_support.hpp"

void qv::fuzz::write_seeds(SeedWriter& out) {
  FileEntry launcher = test::sample_entry("Launcher.exe");
  out.add("v5", test::launcher_update_body(1, 5, launcher));
  launcher.algorithm = HashAlgorithm::Xxh3_128;
  launcher.digest = std::string(32, 'c');
  launcher.bytes = 134217727;
  out.add("v18446744073709551615", test::launcher_update_body(1, 18446744073709551615u, launcher));
  std::vector<std::uint8_t> reordered;
  cbor_write_head(reordered, cbor_major::kMap, 3);
  cbor_write_text(reordered, "launcher");
  append_file_entry_cbor(reordered, test::sample_entry("Launcher.exe"));
  cbor_write_text(reordered, "version");
  cbor_write_head(reordered, cbor_major::kUnsigned, 2);
  cbor_write_text(reordered, "format");
  cbor_write_head(reordered, cbor_major::kUnsigned, 1);
  out.add("reordered", reordered);
}
