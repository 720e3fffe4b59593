#include "core/formats/validation.hpp"

#include <functional>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "support/release_builder.hpp"

namespace qv {
namespace {

FileEntry entry(std::string path) { return test::sample_entry(std::move(path)); }

Manifest valid_manifest() {
  Manifest m;
  m.format = 1;
  m.release = 7;
  m.min_launcher = 1;
  m.name = "release";
  m.zstd_level = 3;
  m.decoder_window_log = 23;
  m.files = {entry("game.exe"), entry("data/a.bin")};
  m.delete_ = {"old.bin"};
  m.links = {"https://example.test/register", "", "https://example.test/discord"};
  m.game_exe = "game.exe";
  return m;
}

std::string outcome(const Manifest& m) {
  auto s = validate_manifest(m);
  return s ? "ok" : s.error().to_string();
}

TEST(ValidateManifest, RulesAndTheirBoundaries) {
  using Edit = std::function<void(Manifest&)>;
  struct Case {
    const char* what;
    Edit edit;
    std::string expected;
  };
  const Case cases[] = {
      {"valid", [](Manifest&) {}, "ok"},
      {"format 2", [](Manifest& m) { m.format = 2; }, "unsupported manifest/version"},
      {"release 0 beats later rules", [](Manifest& m) { m.release = 0; m.zstd_level = 0; }, "unsupported manifest/version"},
      {"level 1", [](Manifest& m) { m.zstd_level = 1; }, "ok"},
      {"level 22", [](Manifest& m) { m.zstd_level = 22; }, "ok"},
      {"level 0", [](Manifest& m) { m.zstd_level = 0; }, "unsupported compression/window"},
      {"level 23", [](Manifest& m) { m.zstd_level = 23; }, "unsupported compression/window"},
      {"window 0", [](Manifest& m) { m.decoder_window_log = 0; }, "ok"},
      {"window 27", [](Manifest& m) { m.decoder_window_log = 27; }, "ok"},
      {"window 28", [](Manifest& m) { m.decoder_window_log = 28; }, "unsupported compression/window"},
      {"reserved path first", [](Manifest& m) { m.files[1].path = "Launcher.exe"; m.files[1].algorithm = HashAlgorithm::Read; },
       "reserved launcher path"},
      {"read", [](Manifest& m) { m.files[1].algorithm = HashAlgorithm::Read; }, "read baseline is not a hash"},
      {"upper-case sha256", [](Manifest& m) { m.files[1].digest = std::string(64, 'F'); }, "ok"},
      {"63 digits", [](Manifest& m) { m.files[1].digest = std::string(63, 'a'); }, "hash encoding"},
      {"non-hex", [](Manifest& m) { m.files[1].digest = std::string(63, 'a') + "g"; }, "hash encoding"},
      {"xxh3-128 of 64", [](Manifest& m) { m.files[1].algorithm = HashAlgorithm::Xxh3_128; }, "hash encoding"},
      {"xxh3-128 of 32", [](Manifest& m) { m.files[1].algorithm = HashAlgorithm::Xxh3_128; m.files[1].digest = std::string(32, '1'); }, "ok"},
      {"xxh64 of 16", [](Manifest& m) { m.files[1].algorithm = HashAlgorithm::Xxh64; m.files[1].digest = std::string(16, '1'); }, "ok"},
      {"bytes 2^34", [](Manifest& m) { m.files[1].bytes = 17179869184ull; }, "ok"},
      {"bytes 2^34+1", [](Manifest& m) { m.files[1].bytes = 17179869185ull; }, "file size limit"},
      {"object 2^35", [](Manifest& m) { m.files[1].object_bytes = 34359738368ull; }, "ok"},
      {"object 2^35+1", [](Manifest& m) { m.files[1].object_bytes = 34359738369ull; }, "file size limit"},
      {"object sha 63", [](Manifest& m) { m.files[1].object_sha256 = std::string(63, 'b'); }, "object SHA256"},
      {"object name", [](Manifest& m) { m.files[1].object = "objects/x.qvp"; }, "object name must be objects/<32 hex digits>.qvp"},
      {"case duplicate", [](Manifest& m) { m.files[1].path = "Data/A.bin"; m.files.push_back(entry("data/a.bin")); },
       "case-insensitive duplicate"},
      {"sigma duplicate", [](Manifest& m) {
         m.files.push_back(entry("\xce\xa3\xce\xa3"));           // ΣΣ -> σς
         m.files.push_back(entry("\xcf\x83\xcf\x82")); },        // σς
       "case-insensitive duplicate"},
      {"file and folder", [](Manifest& m) { m.files.push_back(entry("Data")); }, "file/directory collision"},
      {"folder first", [](Manifest& m) { m.files.insert(m.files.begin(), entry("DATA/A.BIN/x")); },
       "file/directory collision"},
      {"deep collision", [](Manifest& m) { m.files.push_back(entry("data/a.bin/deeper/x")); }, "file/directory collision"},
      {"siblings", [](Manifest& m) { m.files.push_back(entry("data/b.bin")); }, "ok"},
      {"delete a file", [](Manifest& m) { m.delete_ = {"DATA/A.BIN"}; }, "delete collision"},
      {"delete twice", [](Manifest& m) { m.delete_ = {"x/y", "X/Y"}; }, "delete collision"},
      {"delete reserved", [](Manifest& m) { m.delete_ = {".launcher/state"}; }, "reserved launcher path"},
      {"delete grammar", [](Manifest& m) { m.delete_ = {"a//b"}; }, "invalid component: "},
      {"game exe case", [](Manifest& m) { m.game_exe = "GAME.EXE"; }, "ok"},
      {"game exe unmanaged", [](Manifest& m) { m.game_exe = "other.exe"; }, "game executable must be managed"},
      {"game exe non-ascii case", [](Manifest& m) { m.files[0].path = "\xc3\xa9.exe"; m.game_exe = "\xc3\x89.exe"; },
       "game executable must be managed"},
      {"game exe reserved", [](Manifest& m) { m.game_exe = "launcher.json"; }, "reserved launcher path"},
      {"no files", [](Manifest& m) { m.files.clear(); }, "game executable must be managed"},
      {"capital scheme", [](Manifest& m) { m.links.topup = "HTTPS://example.test/"; }, "ok"},
      {"plain http", [](Manifest& m) { m.links.topup = "http://example.test/"; }, "HTTPS URL required"},
      {"ftp", [](Manifest& m) { m.links.discord = "ftp://example.test/"; }, "HTTPS URL required"},
      {"user name", [](Manifest& m) { m.links.register_ = "https://user@example.test/"; }, "HTTPS URL required"},
      {"empty password", [](Manifest& m) { m.links.register_ = "https://:@example.test/"; }, "ok"},
      {"password", [](Manifest& m) { m.links.register_ = "https://:pw@example.test/"; }, "HTTPS URL required"},
      {"three empty", [](Manifest& m) { m.links = {}; }, "ok"},
  };
  for (const auto& c : cases) {
    Manifest m = valid_manifest();
    c.edit(m);
    EXPECT_EQ(outcome(m), c.expected) << c.what;
  }
  // A link without a scheme fails with the parser's own error.
  Manifest m = valid_manifest();
  m.links.register_ = "example.test/path";
  EXPECT_EQ(outcome(m), "relative URL without a base");
}

TEST(ValidateManifest, ListLimits) {
  Manifest m = valid_manifest();
  m.delete_.clear();
  for (int i = 0; i < 100000; ++i) m.delete_.push_back(fmt::format("d/{}", i));
  EXPECT_EQ(outcome(m), "ok");
  m.delete_.push_back("d/x");
  EXPECT_EQ(outcome(m), "manifest limit");

  Manifest f = valid_manifest();
  f.files.resize(1);
  for (int i = 1; i < 100000; ++i) f.files.push_back(entry(fmt::format("f/{}", i)));
  EXPECT_EQ(outcome(f), "ok");
  f.files.push_back(entry("f/x"));
  EXPECT_EQ(outcome(f), "manifest limit");
}

}  // namespace
}  // namespace qv
