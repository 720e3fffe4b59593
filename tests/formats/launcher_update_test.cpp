#include "core/formats/launcher_update.hpp"

#include <functional>

#include <gtest/gtest.h>

#include "core/formats/cbor.hpp"
#include "core/formats/manifest_codec.hpp"
#include "support/release_builder.hpp"

namespace qv {
namespace {

using test::Bytes;

class LauncherUpdateRecord : public ::testing::Test {
 protected:
  test::ReleaseKeys keys = test::ReleaseKeys::from_seed(8);
  ClientConfig config = [this] {
    ClientConfig c;
    c.public_key = keys.public_key;
    c.manifest_key = keys.manifest_key;
    return c;
  }();
  FileEntry launcher = test::sample_entry("Launcher.exe");
  std::string outcome(const Bytes& envelope) {
    auto u = read_launcher_update(envelope, config);
    return u ? "ok" : u.error().to_string();
  }
  // A body written key by key, for maps the fixed encoder would not make.
  Bytes body(const std::vector<std::pair<std::string, std::function<void(Bytes&)>>>& fields) {
    Bytes out;
    cbor_write_head(out, cbor_major::kMap, fields.size());
    for (const auto& [key, write] : fields) {
      cbor_write_text(out, key);
      write(out);
    }
    return out;
  }
  std::function<void(Bytes&)> uint(std::uint64_t v) {
    return [v](Bytes& out) { cbor_write_head(out, cbor_major::kUnsigned, v); };
  }
  std::function<void(Bytes&)> entry(const FileEntry& e) {
    return [e](Bytes& out) { append_file_entry_cbor(out, e); };
  }
};

TEST_F(LauncherUpdateRecord, ReadsAValidRecord) {
  auto update = read_launcher_update(test::launcher_update_envelope(keys, 1, 5, launcher), config);
  ASSERT_TRUE(update) << update.error().to_string();
  EXPECT_EQ(update->format, 1u);
  EXPECT_EQ(update->version, 5u);
  EXPECT_EQ(update->launcher, launcher);
}

TEST_F(LauncherUpdateRecord, FieldRules) {
  using Edit = std::function<void(std::uint32_t&, std::uint64_t&, FileEntry&)>;
  struct Case {
    const char* what;
    Edit edit;
    std::string expected;
  };
  const Case cases[] = {
      {"format 2", [](auto& f, auto&, auto&) { f = 2; }, "update metadata"},
      {"version 0", [](auto&, auto& v, auto&) { v = 0; }, "update metadata"},
      {"lower-case path", [](auto&, auto&, auto& e) { e.path = "launcher.exe"; }, "update metadata"},
      {"largest launcher", [](auto&, auto&, auto& e) { e.bytes = 134217727; }, "ok"},
      {"launcher too large", [](auto&, auto&, auto& e) { e.bytes = 134217728; }, "update size/hash"},
      {"largest object", [](auto&, auto&, auto& e) { e.object_bytes = 268435455; }, "ok"},
      {"object too large", [](auto&, auto&, auto& e) { e.object_bytes = 268435456; }, "update size/hash"},
      {"read", [](auto&, auto&, auto& e) { e.algorithm = HashAlgorithm::Read; }, "update size/hash"},
      {"upper-case object", [](auto&, auto&, auto& e) { e.object = "objects/" + std::string(32, 'F') + ".qvp"; },
       "ok"},
      {"31 digits", [](auto&, auto&, auto& e) { e.object = "objects/" + std::string(31, 'f') + ".qvp"; },
       "object name must be objects/<32 hex digits>.qvp"},
      {"digest form is not checked", [](auto&, auto&, auto& e) { e.digest = "not hex"; }, "ok"},
  };
  for (const auto& c : cases) {
    std::uint32_t format = 1;
    std::uint64_t version = 5;
    FileEntry e = launcher;
    c.edit(format, version, e);
    EXPECT_EQ(outcome(test::launcher_update_envelope(keys, format, version, e)), c.expected) << c.what;
  }
}

TEST_F(LauncherUpdateRecord, RecordForm) {
  // Only the first missing field, in field order, is named.
  EXPECT_EQ(outcome(test::seal_envelope(keys, body({{"version", uint(5)}}))),
            R"(Semantic(None, "missing field `format`"))");
  EXPECT_EQ(outcome(test::seal_envelope(keys, body({{"format", uint(1)}, {"version", uint(5)}}))),
            R"(Semantic(None, "missing field `launcher`"))");
  EXPECT_EQ(outcome(test::seal_envelope(
                keys, body({{"format", uint(1)}, {"version", uint(5)}, {"launcher", entry(launcher)}, {"name", uint(1)}}))),
            R"(Semantic(None, "unknown field `name`, expected one of `format`, `version`, `launcher`"))");
  EXPECT_EQ(outcome(test::seal_envelope(keys, body({{"format", uint(1)}, {"format", uint(1)}}))),
            R"(Semantic(None, "duplicate field `format`"))");
  // Keys in another order are the same record.
  EXPECT_EQ(outcome(test::seal_envelope(keys, body({{"launcher", entry(launcher)}, {"version", uint(5)}, {"format", uint(1)}}))),
            "ok");
  // Other encodings of the same record: an indefinite map, byte-string keys,
  // tags in front of the map and of a value.
  Bytes indefinite = {0xbf};
  cbor_write_head(indefinite, cbor_major::kBytes, 6);
  indefinite.insert(indefinite.end(), {'f', 'o', 'r', 'm', 'a', 't'});
  indefinite.insert(indefinite.end(), {0xc6, 0x01});
  cbor_write_text(indefinite, "version");
  cbor_write_head(indefinite, cbor_major::kUnsigned, 5);
  cbor_write_text(indefinite, "launcher");
  append_file_entry_cbor(indefinite, launcher);
  indefinite.push_back(0xff);
  Bytes tagged = {0xd9, 0xd9, 0xf7};  // the self-described CBOR tag
  tagged.insert(tagged.end(), indefinite.begin(), indefinite.end());
  auto decoded = read_launcher_update(test::seal_envelope(keys, tagged), config);
  ASSERT_TRUE(decoded) << decoded.error().to_string();
  EXPECT_EQ(decoded->version, 5u);
  EXPECT_EQ(decoded->launcher, launcher);
  EXPECT_EQ(outcome(test::seal_envelope(
                keys, body({{"format", uint(1)}, {"version", [](Bytes& out) { cbor_write_text(out, "5"); }},
                            {"launcher", entry(launcher)}}))),
            R"(Semantic(None, "invalid type: string, expected integer"))");

  Bytes trailing = test::launcher_update_body(1, 5, launcher);
  trailing.push_back(0);
  EXPECT_EQ(outcome(test::seal_envelope(keys, trailing)), "trailing CBOR");
  // Another signer fails before any CBOR is read.
  EXPECT_EQ(outcome(test::seal_envelope(test::ReleaseKeys::from_seed(9), Bytes{0xff})),
            "signature error: Verification equation was not satisfied: Verification equation was not satisfied");
}

}  // namespace
}  // namespace qv
