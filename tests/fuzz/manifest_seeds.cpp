// Manifests in the fixed encoding the release builder signs, and the other
// encodings the decoder accepts: indefinite lengths, byte-string keys, tags.
#include <fmt/format.h>

#include "core/formats/cbor.hpp"
#include "core/formats/manifest_codec.hpp"
#include "fuzz_support.hpp"
#include "seed_releases.hpp"

void qv::fuzz::write_seeds(SeedWriter& out) {
  int n = 0;
  for (const Manifest& manifest : seed_manifests()) {
    auto encoded = encode_manifest_cbor(manifest);
    if (!encoded) throw std::runtime_error(encoded.error().to_string());
    out.add(fmt::format("manifest-{}", n++), *encoded);
  }
  // A file entry wrapped in a tag, in an indefinite-length map whose keys
  // are byte strings and chunked text.
  std::vector<std::uint8_t> entry;
  append_file_entry_cbor(entry, test::sample_entry("a.exe"));
  std::vector<std::uint8_t> loose = {0xBF};
  auto key = [&](std::string_view text, bool bytes) {
    cbor_write_head(loose, bytes ? cbor_major::kBytes : cbor_major::kText, text.size());
    loose.insert(loose.end(), text.begin(), text.end());
  };
  auto uint = [&](std::uint64_t v) { cbor_write_head(loose, cbor_major::kUnsigned, v); };
  key("format", true), uint(1);
  key("release", false), loose.push_back(0xC6), uint(9);
  key("min_launcher", true), uint(1);
  loose.push_back(0x7F), key("na", false), key("me", false), loose.push_back(0xFF), cbor_write_text(loose, "r");
  key("zstd_level", false), uint(3);
  key("decoder_window_log", false), uint(27);
  key("files", false), loose.push_back(0x9F), loose.insert(loose.end(), entry.begin(), entry.end()),
      loose.push_back(0xFF);
  key("delete", false), loose.push_back(0x80);
  key("links", false), loose.push_back(0xA3);
  for (const char* link : {"register", "topup", "discord"}) cbor_write_text(loose, link), cbor_write_text(loose, "");
  key("game_exe", false), cbor_write_text(loose, "a.exe");
  key("game_args", false), loose.push_back(0x81), cbor_write_text(loose, "-x");
  loose.push_back(0xFF);
  out.add("indefinite", loose);
}
