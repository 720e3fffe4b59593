#include "core/formats/manifest_codec.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace qv {
namespace {

// --- writing test inputs as hexadecimal -------------------------------------

std::vector<std::uint8_t> from_hex(std::string_view hex) {
  std::vector<std::uint8_t> out;
  int high = -1;
  for (char c : hex) {
    int v = (c >= '0' && c <= '9')   ? c - '0'
            : (c >= 'a' && c <= 'f') ? c - 'a' + 10
            : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                     : -1;
    if (v < 0) continue;
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<std::uint8_t>(high * 16 + v));
      high = -1;
    }
  }
  return out;
}

std::string byte_hex(unsigned b) {
  static constexpr char kDigits[] = "0123456789abcdef";
  return {kDigits[(b >> 4) & 0xF], kDigits[b & 0xF]};
}

std::string raw_hex(std::string_view bytes) {
  std::string out;
  for (char c : bytes) out += byte_hex(static_cast<unsigned char>(c));
  return out;
}

// A definite text (or, with major 0x40, byte) string of fewer than 65536 bytes.
std::string txt(std::string_view text, unsigned major = 0x60) {
  const auto n = static_cast<unsigned>(text.size());
  std::string head = n < 24    ? byte_hex(major + n)
                     : n < 256 ? byte_hex(major + 24) + byte_hex(n)
                               : byte_hex(major + 25) + byte_hex(n >> 8) + byte_hex(n & 0xFF);
  return head + raw_hex(text);
}
std::string bin(std::string_view bytes) { return txt(bytes, 0x40); }

// The entries of one CBOR map, kept as (key, value) hex so that tests can drop,
// replace, repeat and reorder them before the map is written.
struct MapHex {
  std::vector<std::pair<std::string, std::string>> entries;  // key hex, value hex

  MapHex& set(std::string_view key, std::string value) {
    for (auto& [k, v] : entries) {
      if (k == txt(key)) v = std::move(value);
    }
    return *this;
  }
  MapHex& drop(std::string_view key) {
    std::erase_if(entries, [&](const auto& e) { return e.first == txt(key); });
    return *this;
  }
  MapHex& add(std::string key_hex, std::string value_hex) {
    entries.emplace_back(std::move(key_hex), std::move(value_hex));
    return *this;
  }
  std::string hex() const {
    std::string out = entries.size() < 24 ? byte_hex(0xA0 + static_cast<unsigned>(entries.size()))
                                          : "b8" + byte_hex(static_cast<unsigned>(entries.size()));
    for (const auto& [k, v] : entries) out += k + v;
    return out;
  }
  std::string indefinite_hex() const {
    std::string out = "bf";
    for (const auto& [k, v] : entries) out += k + v;
    return out + "ff";
  }
};

// --- the golden manifest ------------------------------------------------------

std::string key_hex() {
  std::string out = "9820";
  for (unsigned i = 0; i < 32; ++i) out += i < 24 ? byte_hex(i) : "18" + byte_hex(i);
  return out;
}
std::string nonce_hex() {
  std::string out = "93";
  for (unsigned i = 0; i < 19; ++i) out += byte_hex(i + 5 < 24 ? i + 5 : i);  // 5..23 then 19..
  return out;
}

FileEntry golden_entry() {
  FileEntry e;
  e.path = "game.exe";
  e.bytes = 24;
  e.algorithm = HashAlgorithm::Sha256;
  e.digest = "ab";
  e.object = "objects/x.qvp";
  e.object_bytes = 1000;
  e.object_sha256 = "cd";
  for (unsigned i = 0; i < 32; ++i) e.key[i] = static_cast<std::uint8_t>(i);
  for (unsigned i = 0; i < 19; ++i) e.nonce[i] = static_cast<std::uint8_t>(i + 5 < 24 ? i + 5 : i);
  return e;
}

MapHex golden_entry_map() {
  MapHex m;
  m.add(txt("path"), txt("game.exe"))
      .add(txt("bytes"), "1818")
      .add(txt("algorithm"), txt("sha256"))
      .add(txt("digest"), txt("ab"))
      .add(txt("object"), txt("objects/x.qvp"))
      .add(txt("object_bytes"), "1903e8")
      .add(txt("object_sha256"), txt("cd"))
      .add(txt("key"), key_hex())
      .add(txt("nonce"), nonce_hex());
  return m;
}

Manifest golden_manifest() {
  Manifest m;
  m.format = 1;
  m.release = 256;
  m.min_launcher = 4;
  m.name = "R";
  m.zstd_level = -1;
  m.decoder_window_log = 27;
  m.files = {golden_entry()};
  m.delete_ = {"old.txt"};
  m.links = {"https://r", "", ""};
  m.game_exe = "game.exe";
  m.game_args = {"-w"};
  return m;
}

MapHex golden_map(const std::string& files_hex = "81" + golden_entry_map().hex()) {
  MapHex links;
  links.add(txt("register"), txt("https://r")).add(txt("topup"), "60").add(txt("discord"), "60");
  MapHex m;
  m.add(txt("format"), "01")
      .add(txt("release"), "190100")
      .add(txt("min_launcher"), "04")
      .add(txt("name"), txt("R"))
      .add(txt("zstd_level"), "20")
      .add(txt("decoder_window_log"), "181b")
      .add(txt("files"), files_hex)
      .add(txt("delete"), "81" + txt("old.txt"))
      .add(txt("links"), links.hex())
      .add(txt("game_exe"), txt("game.exe"))
      .add(txt("game_args"), "81" + txt("-w"));
  return m;
}

// The diagnostic text of decoding `hex` as a manifest, or "ok".
std::string manifest_outcome(const std::string& hex) {
  auto bytes = from_hex(hex);
  CborReader reader(bytes);
  auto decoded = decode_manifest_cbor(reader);
  return decoded ? "ok" : decoded.error().to_error().to_string();
}

std::string sem(std::string_view message) { return "Semantic(None, \"" + std::string(message) + "\")"; }

const std::string kManifestNames =
    "one of `format`, `release`, `min_launcher`, `name`, `zstd_level`, `decoder_window_log`, `files`, `delete`, "
    "`links`, `game_exe`, `game_args`";
const std::string kEntryNames =
    "one of `path`, `bytes`, `algorithm`, `digest`, `object`, `object_bytes`, `object_sha256`, `key`, `nonce`";
const std::string kIo = R"(Io(Error { kind: UnexpectedEof, message: "failed to fill whole buffer" }))";

// --- tests ----------------------------------------------------------------------

TEST(ManifestCodec, GoldenEncodingRoundTrips) {
  const auto golden = from_hex(golden_map().hex());
  ASSERT_EQ(from_hex("ab 66 666f726d6174 01"), std::vector<std::uint8_t>(golden.begin(), golden.begin() + 9));
  auto encoded = encode_manifest_cbor(golden_manifest());
  ASSERT_TRUE(encoded);
  EXPECT_EQ(*encoded, golden);

  std::vector<std::uint8_t> with_trailer = golden;
  with_trailer.push_back(0x00);
  CborReader reader(with_trailer);
  auto decoded = decode_manifest_cbor(reader);
  ASSERT_TRUE(decoded) << decoded.error().to_string();
  EXPECT_EQ(*decoded, golden_manifest());
  EXPECT_EQ(reader.position(), golden.size());  // just after the item, trailer unread
}

TEST(ManifestCodec, HeadsTakeTheirShortestForm) {
  struct Row {
    std::uint64_t release;
    std::int32_t zstd_level;
    const char* release_hex;
    const char* zstd_hex;
  };
  const Row rows[] = {
      {23, 0, "17", "00"},
      {24, 23, "1818", "17"},
      {256, -1, "190100", "20"},
      {65536, -24, "1a00010000", "37"},
      {4294967296, -25, "1b0000000100000000", "3818"},
      {UINT64_MAX, INT32_MIN, "1bffffffffffffffff", "3a7fffffff"},
  };
  for (const Row& row : rows) {
    Manifest m = golden_manifest();
    m.release = row.release;
    m.zstd_level = row.zstd_level;
    const auto expected = from_hex(golden_map().set("release", row.release_hex).set("zstd_level", row.zstd_hex).hex());
    EXPECT_EQ(*encode_manifest_cbor(m), expected) << row.release_hex;
    CborReader reader(expected);
    EXPECT_EQ(decode_manifest_cbor(reader), m) << row.release_hex;
  }
}

TEST(ManifestCodec, OtherEncodingsOfTheSameManifestDecodeAlike) {
  MapHex reversed = golden_map();
  std::reverse(reversed.entries.begin(), reversed.entries.end());

  // Indefinite lengths everywhere: maps, lists, key and nonce, chunked texts.
  MapHex entry = golden_entry_map();
  entry.set("path", "7f" + txt("game") + txt(".exe") + "ff");
  entry.set("key", "9f" + key_hex().substr(4) + "ff");
  entry.set("nonce", "9f" + nonce_hex().substr(2) + "ff");
  MapHex links;
  links.add(txt("register"), "7f" + txt("https:") + txt("//r") + "ff")
      .add(txt("topup"), "7fff")
      .add(txt("discord"), "60");
  MapHex indefinite = golden_map("9f" + entry.indefinite_hex() + "ff");
  indefinite.set("delete", "9f" + txt("old.txt") + "ff").set("game_args", "9f7f" + txt("-w") + "ffff");
  indefinite.set("links", links.indefinite_hex());

  // Byte-string keys, tags in front of items, key and nonce as byte strings
  // (a longer one gives its first bytes), bignum integers.
  std::string key_bytes, nonce_bytes;
  for (unsigned i = 0; i < 40; ++i) key_bytes += static_cast<char>(i);
  for (unsigned i = 0; i < 19; ++i) nonce_bytes += static_cast<char>(i + 5 < 24 ? i + 5 : i);
  MapHex entry2 = golden_entry_map();
  entry2.entries[0].first = bin("path");
  entry2.set("key", "d818" + bin(key_bytes))
      .set("nonce", "5f" + bin(nonce_bytes.substr(0, 4)) + bin(nonce_bytes.substr(4)) + "ff");
  entry2.set("bytes", "c2" + bin(std::string("\0\0\x18", 3)));
  MapHex tagged = golden_map("c1 81 d9d9f7" + entry2.hex());
  tagged.entries[1].first = bin("release");
  tagged.set("format", "c0 c0 01").set("zstd_level", "c3" + bin(std::string("\0", 1)));

  const auto golden = *encode_manifest_cbor(golden_manifest());
  for (const std::string& hex : {reversed.hex(), indefinite.indefinite_hex(), "c6c6c6" + tagged.hex()}) {
    auto bytes = from_hex(hex);
    CborReader reader(bytes);
    auto decoded = decode_manifest_cbor(reader);
    ASSERT_TRUE(decoded) << decoded.error().to_string() << " for " << hex;
    EXPECT_EQ(*decoded, golden_manifest());
    EXPECT_EQ(reader.position(), bytes.size());
    EXPECT_EQ(*encode_manifest_cbor(*decoded), golden);
  }
}

TEST(ManifestCodec, ListsAsByteStrings) {
  // An empty byte string is an empty list.
  std::string hex = golden_map("40").set("delete", "40").set("game_args", "5fff").hex();
  auto bytes = from_hex(hex);
  CborReader reader(bytes);
  auto decoded = decode_manifest_cbor(reader);
  ASSERT_TRUE(decoded) << decoded.error().to_string();
  EXPECT_TRUE(decoded->files.empty());
  EXPECT_TRUE(decoded->delete_.empty());
  EXPECT_TRUE(decoded->game_args.empty());
}

TEST(ManifestCodec, DiagnosticTexts) {
  auto entry_with = [](std::string_view key, std::string value) {
    return golden_map("81" + golden_entry_map().set(key, std::move(value)).hex()).hex();
  };
  auto with = [](std::string_view key, std::string value) { return golden_map().set(key, std::move(value)).hex(); };
  std::string key31 = "9f", key33 = "98 21";
  for (unsigned i = 0; i < 31; ++i) key31 += "01";
  for (unsigned i = 0; i < 33; ++i) key33 += i < 24 ? byte_hex(i) : "18" + byte_hex(i);
  std::string nested_arrays;
  for (int i = 0; i < 200000; ++i) nested_arrays += "81";

  struct Row {
    const char* what;
    std::string hex;
    std::string expected;
  };
  const std::vector<Row> rows = {
      // Record rules.
      {"missing files", golden_map().drop("files").hex(), sem("missing field `files`")},
      {"missing name and links", golden_map().drop("links").drop("name").hex(), sem("missing field `name`")},
      {"missing links, bad files", golden_map("05").drop("links").hex(),
       sem("invalid type: integer `5`, expected array")},
      {"duplicate files", golden_map().add(txt("files"), "80").hex(), sem("duplicate field `files`")},
      {"duplicate before its value", golden_map().add(txt("files"), "ff").hex(), sem("duplicate field `files`")},
      // A break ends an indefinite map only where a key would begin, not after a tag.
      {"tagged break", "bf c6 ff", sem("invalid type: break, expected str or bytes")},
      {"foreign key", golden_map().add(txt("Files"), "80").hex(),
       sem("unknown field `Files`, expected " + kManifestNames)},
      {"foreign byte key, bad UTF-8",
       golden_map()
           .add(bin("A\xff"
                    "B"),
                "00")
           .hex(),
       sem("unknown field `A\xEF\xBF\xBD"
           "B`, expected " +
           kManifestNames)},
      {"foreign key, quoted", golden_map().add(txt(std::string("a\"b\\c\n\x01\0\xc2\x85", 10)), "00").hex(),
       sem("unknown field `a\\\"b\\\\c\\n\\u{1}\\0\\u{85}`, expected " + kManifestNames)},
      {"foreign entry key", entry_with("path", txt("p") + txt("size") + "00"),
       sem("unknown field `size`, expected " + kEntryNames)},
      {"key of 4096 bytes", golden_map().add(bin(std::string(4096, 'k')), "00").hex(),
       sem("unknown field `" + std::string(4096, 'k') + "`, expected " + kManifestNames)},
      {"key of 4097 bytes", golden_map().add(bin(std::string(4097, 'k')), "00").hex(),
       sem("invalid type: bytes, expected str or bytes")},
      {"integer key", "a1 01 00", sem("invalid type: integer `1`, expected str or bytes")},
      {"chunked key", "a1 7f" + txt("format") + "ff 01", sem("invalid type: string, expected str or bytes")},
      {"break as key of a definite map", "a1 ff", sem("invalid type: break, expected str or bytes")},
      {"top item an array", "80", sem("invalid type: sequence, expected map")},
      {"entry not a map", golden_map("81 60").hex(), sem("invalid type: string, expected map")},
      // Integers.
      {"format above u32", with("format", "1b0000000100000000"),
       sem("invalid value: integer `4294967296`, expected u32")},
      {"release negative", with("release", "20"), sem("unexpected negative integer")},
      {"release bignum of 9 bytes", with("release", "c2" + bin(std::string("\x01\0\0\0\0\0\0\0\0", 9))),
       sem("integer too large")},
      {"release bignum of 17 bytes", with("release", "c2" + bin(std::string(17, '\x01'))), sem("bigint too large")},
      {"release negative bignum", with("release", "c3" + bin("\x01")), sem("unexpected negative integer")},
      {"format bignum beyond u64", with("format", "c2" + bin(std::string(9, '\x01'))), sem("integer too large")},
      {"zstd_level 2^31", with("zstd_level", "1a80000000"), sem("invalid value: integer `2147483648`, expected i32")},
      {"zstd_level -2^31-1", with("zstd_level", "3a80000000"),
       sem("invalid value: integer `-2147483649`, expected i32")},
      {"zstd_level 2^63", with("zstd_level", "1b8000000000000000"), sem("integer too large")},
      {"zstd_level -2^64", with("zstd_level", "3bffffffffffffffff"), sem("integer too large")},
      {"bytes as text", entry_with("bytes", txt("1")), sem("invalid type: string, expected integer")},
      // Descriptions of the item found.
      {"negative integer", with("name", "3863"), sem("invalid type: integer `-100`, expected string")},
      {"lowest negative", with("name", "3bffffffffffffffff"),
       sem("invalid type: integer `-18446744073709551616`, expected string")},
      {"half float", with("name", "f93e00"), sem("invalid type: floating point `1.5`, expected string")},
      {"single float", with("name", "fa3f8ccccd"),
       sem("invalid type: floating point `1.100000023841858`, expected string")},
      {"double without point", with("name", "fb4059000000000000"),
       sem("invalid type: floating point `100.0`, expected string")},
      {"false", with("name", "f4"), sem("invalid type: boolean `false`, expected string")},
      {"true", with("name", "f5"), sem("invalid type: boolean `true`, expected string")},
      {"null", with("name", "f6"), sem("invalid type: null, expected string")},
      {"undefined", with("name", "f7"), sem("invalid type: undefined, expected string")},
      {"simple", with("name", "e0"), sem("invalid type: simple, expected string")},
      {"break", with("name", "ff"), sem("invalid type: break, expected string")},
      {"bytes", with("name", "40"), sem("invalid type: bytes, expected string")},
      {"map", with("format", "a0"), sem("invalid type: map, expected integer")},
      {"array", with("links", "80"), sem("invalid type: sequence, expected map")},
      // Lists.
      {"files as byte 01", golden_map("4101").hex(), sem("invalid type: integer `1`, expected struct FileEntry")},
      {"delete as bytes", with("delete", bin("A")), sem("invalid type: integer `65`, expected a string")},
      {"delete element", with("delete", "8101"), sem("invalid type: integer `1`, expected string")},
      {"files a text", golden_map(txt("x")).hex(), sem("invalid type: string, expected array")},
      // key and nonce.
      {"key of 31 bytes", entry_with("key", bin(std::string(31, '\x07'))),
       sem("invalid length 31, expected an array of length 32")},
      {"key of 33 bytes", entry_with("key", bin(std::string(33, '\x07'))), "ok"},
      {"key array of 31", entry_with("key", key31 + "ff"), sem("invalid length 31, expected an array of length 32")},
      {"key array of 33", entry_with("key", key33), sem("invalid type: integer `32`, expected str or bytes")},
      {"nonce element of 256", entry_with("nonce", "93 190100"), sem("invalid value: integer `256`, expected u8")},
      {"nonce element negative", entry_with("nonce", "93 20"), sem("unexpected negative integer")},
      {"nonce element text", entry_with("nonce", "93 60"), sem("invalid type: string, expected integer")},
      {"nonce of 18 bytes", entry_with("nonce", bin(std::string(18, '\x07'))),
       sem("invalid length 18, expected an array of length 19")},
      {"key a text", entry_with("key", txt("k")), sem("invalid type: string, expected array")},
      // algorithm.
      {"algorithm SHA256", entry_with("algorithm", txt("SHA256")),
       sem("unknown variant `SHA256`, expected one of `xxh64`, `xxh3-64`, `xxh3-128`, `blake3`, `sha256`, `read`")},
      {"algorithm chunked", entry_with("algorithm", "7f" + txt("sha256") + "ff"),
       sem("invalid type: string, expected str or bytes")},
      {"algorithm integer", entry_with("algorithm", "04"), sem("invalid type: integer `4`, expected enum")},
      {"algorithm bytes", entry_with("algorithm", bin("sha256")), sem("invalid type: bytes, expected enum")},
      // Malformed and short input.
      {"empty input", "", kIo},
      {"truncated", golden_map().hex().substr(0, golden_map().hex().size() - 2), kIo},
      {"text longer than the input", "a1 64 6e616d65 7a7fffffff 00", kIo},
      {"huge definite count", "bb ffffffffffffffff", kIo},
      {"reserved additional information", "a1 66 666f726d6174 1c", "Syntax(8)"},
      {"indefinite integer", "1f", "Syntax(0)"},
      {"indefinite tag", "df 01", "Syntax(0)"},
      {"text chunk of another kind", "a1 64 6e616d65 7f 4100 ff", "Syntax(7)"},
      {"key not UTF-8", "a1 62 c328 00", "Syntax(1)"},
      {"value not UTF-8", "a1 64 6e616d65 61 ff", "Syntax(6)"},
      // A recursion bomb ends at the first level that refuses it.
      {"nested arrays", golden_map("81" + nested_arrays + "00").hex(), sem("invalid type: sequence, expected map")},
  };
  for (const Row& row : rows) EXPECT_EQ(manifest_outcome(row.hex), row.expected) << row.what;
}

TEST(ManifestCodec, NestingBudgetIsTakenAndGivenBack) {
  // Manifest, files, entry, key: four levels. Several entries in a row each
  // give their units back, so four is enough and three is not.
  const auto bytes =
      from_hex(golden_map("83" + golden_entry_map().hex() + golden_entry_map().hex() + golden_entry_map().hex()).hex());
  CborReader enough(bytes, 4);
  EXPECT_TRUE(decode_manifest_cbor(enough));
  CborReader short_of_one(bytes, 3);
  EXPECT_EQ(decode_manifest_cbor(short_of_one).error().to_error().to_string(), "RecursionLimitExceeded");
  // Thousands of tags in front of an item cost no budget and no stack.
  std::string tags;
  for (int i = 0; i < 100000; ++i) tags += "c6";
  EXPECT_EQ(manifest_outcome(tags + golden_map().hex()), "ok");
}

TEST(ManifestCodec, FileEntryDecodesAlone) {
  const auto bytes = from_hex(golden_entry_map().hex());
  CborReader reader(bytes);
  EXPECT_EQ(decode_file_entry(reader), golden_entry());
  EXPECT_EQ(reader.position(), bytes.size());
  const auto missing = from_hex(golden_entry_map().drop("nonce").drop("digest").hex());
  CborReader short_reader(missing);
  EXPECT_EQ(decode_file_entry(short_reader).error().to_string(), sem("missing field `digest`"));
}

}  // namespace
}  // namespace qv
