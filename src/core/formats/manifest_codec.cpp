#include "core/formats/manifest_codec.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "core/foundations/unicode.hpp"

namespace qv {
namespace {

using namespace cbor_major;

constexpr std::array<std::string_view, 11> kManifestFields = {
    "format", "release", "min_launcher", "name",  "zstd_level", "decoder_window_log",
    "files",  "delete",  "links",        "game_exe", "game_args"};
constexpr std::array<std::string_view, 9> kFileEntryFields = {
    "path", "bytes", "algorithm", "digest", "object", "object_bytes", "object_sha256", "key", "nonce"};
constexpr std::array<std::string_view, 3> kLinksFields = {"register", "topup", "discord"};

// A list reserves at most this much up front, whatever count its head claims.
constexpr std::size_t kListReserveBytes = 1024 * 1024;

// Messages of the field rules.
constexpr std::string_view kNegativeInteger = "unexpected negative integer";
constexpr std::string_view kIntegerTooLarge = "integer too large";
constexpr std::string_view kBigintTooLarge = "bigint too large";

template <class T>
using R = CborResult<T>;

std::unexpected<CborError> semantic(std::string message) {
  return std::unexpected(CborError::semantic(std::move(message)));
}

std::unexpected<CborError> type_error(const CborHead& found, std::string_view expected) {
  return semantic("invalid type: " + describe_cbor_item(found) + ", expected " + std::string(expected));
}

std::unexpected<CborError> value_error(bool negative, CborU128 magnitude, std::string_view expected) {
  return semantic("invalid value: integer `" + cbor_integer_decimal(negative, magnitude) + "`, expected " +
                  std::string(expected));
}

std::unexpected<CborError> length_error(std::size_t found, std::size_t wanted) {
  return semantic("invalid length " + std::to_string(found) + ", expected an array of length " +
                  std::to_string(wanted));
}

// Bytes shown as text: each maximal ill-formed subsequence becomes U+FFFD.
std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    std::size_t need = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (lead < 0x80) {
      out += bytes[i++];
      continue;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      need = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      need = 2;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      need = 3;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    }
    std::size_t length = 1;
    while (length <= need && i + length < bytes.size()) {
      const auto c = static_cast<unsigned char>(bytes[i + length]);
      if (c < low || c > high) break;
      low = 0x80;
      high = 0xBF;
      ++length;
    }
    if (need > 0 && length == need + 1) {
      out.append(bytes.substr(i, length));
    } else {
      out += "\xEF\xBF\xBD";
    }
    i += length;
  }
  return out;
}

// Gives the nesting unit back however the scope ends.
class Nested {
 public:
  explicit Nested(CborReader& reader) : reader_(reader) {}
  ~Nested() { reader_.leave(); }
  Nested(const Nested&) = delete;
  Nested& operator=(const Nested&) = delete;

 private:
  CborReader& reader_;
};

// --- integers -------------------------------------------------------------

struct Integer {
  bool negative = false;  // the value is -1 - magnitude
  CborU128 magnitude = 0;
};

R<Integer> read_bignum(CborReader& reader, const CborHead& bytes_head, bool negative) {
  std::string bytes;
  QV_TRY(reader.read_string_body(bytes_head, bytes));
  std::string_view significant(bytes);
  while (!significant.empty() && significant.front() == '\0') significant.remove_prefix(1);
  if (significant.size() > 16) return semantic(std::string(kBigintTooLarge));
  Integer value{negative, 0};
  for (char c : significant) value.magnitude = (value.magnitude << 8) | static_cast<unsigned char>(c);
  return value;
}

// An integer item, tags skipped; tag 2 or 3 before a byte string is a bignum.
R<Integer> read_integer(CborReader& reader) {
  for (;;) {
    CborHead head = QV_TRY(reader.read_head());
    if (head.major == kTag) {
      if (head.argument == 2 || head.argument == 3) {
        CborHead next = QV_TRY(reader.read_head());
        if (next.major == kBytes) return read_bignum(reader, next, head.argument == 3);
        reader.put_back(next);
      }
      continue;
    }
    if (head.major == kUnsigned) return Integer{false, head.argument};
    if (head.major == kNegative) return Integer{true, head.argument};
    return type_error(head, "integer");
  }
}

constexpr CborU128 kU64Max = std::numeric_limits<std::uint64_t>::max();

R<std::uint64_t> read_unsigned(CborReader& reader, std::uint64_t max, std::string_view kind) {
  Integer value = QV_TRY(read_integer(reader));
  if (value.negative) return semantic(std::string(kNegativeInteger));
  if (value.magnitude > kU64Max) return semantic(std::string(kIntegerTooLarge));
  if (value.magnitude > max) return value_error(false, value.magnitude, kind);
  return static_cast<std::uint64_t>(value.magnitude);
}

R<std::uint64_t> read_u64(CborReader& reader) {
  return read_unsigned(reader, std::numeric_limits<std::uint64_t>::max(), "u64");
}
R<std::uint32_t> read_u32(CborReader& reader) {
  return static_cast<std::uint32_t>(QV_TRY(read_unsigned(reader, std::numeric_limits<std::uint32_t>::max(), "u32")));
}
R<std::uint8_t> read_u8(CborReader& reader) {
  return static_cast<std::uint8_t>(QV_TRY(read_unsigned(reader, 255, "u8")));
}

R<std::int32_t> read_i32(CborReader& reader) {
  Integer value = QV_TRY(read_integer(reader));
  constexpr CborU128 kI64Max = std::numeric_limits<std::int64_t>::max();
  constexpr CborU128 kI32Max = std::numeric_limits<std::int32_t>::max();
  // For a negative value the magnitude is -1 - value, so the same bounds apply
  // on both sides: i64 holds magnitudes up to 2^63 - 1 either way.
  if (value.magnitude > kI64Max) return semantic(std::string(kIntegerTooLarge));
  if (value.magnitude > kI32Max) return value_error(value.negative, value.magnitude, "i32");
  const auto magnitude = static_cast<std::int32_t>(value.magnitude);
  return value.negative ? -1 - magnitude : magnitude;
}

// --- texts and lists ------------------------------------------------------

R<std::string> read_text(CborReader& reader) {
  CborHead head = QV_TRY(reader.read_head_skipping_tags());
  if (head.major != kText) return type_error(head, "string");
  std::string text;
  QV_TRY(reader.read_string_body(head, text));
  return text;
}

// In an indefinite container, true (and the break consumed) when the next
// head is the break; otherwise the head stays unread.
R<bool> at_break(CborReader& reader) {
  CborHead head = QV_TRY(reader.read_head());
  if (head.is_break()) return true;
  reader.put_back(head);
  return false;
}

// A byte string that stands where a list is read, under one nesting unit.
R<std::string> read_bytes_nested(CborReader& reader, const CborHead& head) {
  QV_TRY(reader.enter());
  Nested nested(reader);
  std::string bytes;
  QV_TRY(reader.read_string_body(head, bytes));
  return bytes;
}

// An array decoded element by element, or a byte string whose bytes stand for
// integer elements (only an empty one fits a list of records or texts).
template <class T, class DecodeElement>
R<void> decode_list(CborReader& reader, std::vector<T>& out, std::string_view byte_expected,
                    DecodeElement&& decode_element) {
  CborHead head = QV_TRY(reader.read_head_skipping_tags());
  if (head.major == kBytes) {
    std::string bytes = QV_TRY(read_bytes_nested(reader, head));
    if (!bytes.empty()) {
      CborHead first{kUnsigned, 0, static_cast<unsigned char>(bytes[0]), head.offset};
      return type_error(first, byte_expected);
    }
    return {};
  }
  if (head.major != kArray) return type_error(head, "array");
  QV_TRY(reader.enter());
  Nested nested(reader);
  if (!head.indefinite()) {
    // Every element takes at least one byte of input.
    const std::uint64_t bound = std::min<std::uint64_t>(
        {head.argument, reader.remaining(), kListReserveBytes / sizeof(T)});
    out.reserve(static_cast<std::size_t>(bound));
    for (std::uint64_t i = 0; i < head.argument; ++i) out.push_back(QV_TRY(decode_element(reader)));
    return {};
  }
  while (!QV_TRY(at_break(reader))) out.push_back(QV_TRY(decode_element(reader)));
  return {};
}

// `key` and `nonce`: N small integers in an array, or the first N bytes of a
// byte string. Array elements past the N-th are left for the next read.
template <std::size_t N>
R<void> decode_byte_array(CborReader& reader, std::array<std::uint8_t, N>& out) {
  CborHead head = QV_TRY(reader.read_head_skipping_tags());
  if (head.major == kBytes) {
    std::string bytes = QV_TRY(read_bytes_nested(reader, head));
    if (bytes.size() < N) return length_error(bytes.size(), N);
    std::copy_n(bytes.begin(), N, out.begin());
    return {};
  }
  if (head.major != kArray) return type_error(head, "array");
  QV_TRY(reader.enter());
  Nested nested(reader);
  std::size_t count = 0;
  while (count < N) {
    if (head.indefinite() ? QV_TRY(at_break(reader)) : count == head.argument) return length_error(count, N);
    out[count++] = QV_TRY(read_u8(reader));
  }
  // An indefinite array of exactly N elements ends with its break; taking it
  // here keeps it from being read as the end of the enclosing record.
  if (head.indefinite()) QV_TRY(at_break(reader));
  return {};
}

R<HashAlgorithm> decode_algorithm(CborReader& reader) {
  CborHead head = QV_TRY(reader.read_head_skipping_tags());
  if (head.major != kText) return type_error(head, "enum");
  if (head.indefinite() || head.argument > CborReader::kMaxKeyBytes) return type_error(head, "str or bytes");
  QV_TRY(reader.enter());
  Nested nested(reader);
  std::string name;
  QV_TRY(reader.read_string_body(head, name));
  auto algorithm = parse_hash_algorithm(name);
  if (!algorithm) return semantic(unknown_algorithm_error(name));
  return *algorithm;
}

// --- records --------------------------------------------------------------

std::string expected_fields(std::span<const std::string_view> names) {
  std::string text = "one of ";
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += ", ";
    text += '`';
    text += names[i];
    text += '`';
  }
  return text;
}

// A map whose keys are exactly the record's fields, each once, in any order.
// `decode_field(i)` reads the value of field i.
template <std::size_t N, class DecodeField>
R<void> decode_record(CborReader& reader, const std::array<std::string_view, N>& names, DecodeField&& decode_field) {
  CborHead map = QV_TRY(reader.read_head_skipping_tags());
  if (map.major != kMap) return type_error(map, "map");
  QV_TRY(reader.enter());
  Nested nested(reader);
  std::array<bool, N> seen{};
  for (std::uint64_t entry = 0; map.indefinite() || entry < map.argument; ++entry) {
    CborHead key = QV_TRY(reader.read_head_skipping_tags());
    if (map.indefinite() && key.is_break()) break;
    if ((key.major != kText && key.major != kBytes) || key.indefinite() || key.argument > CborReader::kMaxKeyBytes) {
      return type_error(key, "str or bytes");
    }
    auto raw = QV_TRY(reader.read_raw(key.argument));
    std::string_view name(reinterpret_cast<const char*>(raw.data()), raw.size());
    if (key.major == kText && !is_valid_utf8(name)) return std::unexpected(CborError::syntax(key.offset));
    auto found = std::find(names.begin(), names.end(), name);
    if (found == names.end()) {
      return semantic("unknown field `" + utf8_lossy(name) + "`, expected " + expected_fields(names));
    }
    const auto index = static_cast<std::size_t>(found - names.begin());
    if (seen[index]) return semantic("duplicate field `" + std::string(names[index]) + "`");
    seen[index] = true;
    QV_TRY(decode_field(index));
  }
  for (std::size_t i = 0; i < N; ++i) {
    if (!seen[i]) return semantic("missing field `" + std::string(names[i]) + "`");
  }
  return {};
}

template <class T, class Read>
R<void> assign(T& field, Read&& read, CborReader& reader) {
  field = QV_TRY(read(reader));
  return {};
}

R<Links> decode_links(CborReader& reader) {
  Links links;
  std::string* fields[] = {&links.register_, &links.topup, &links.discord};
  QV_TRY(decode_record(reader, kLinksFields, [&](std::size_t i) { return assign(*fields[i], read_text, reader); }));
  return links;
}

}  // namespace

CborResult<FileEntry> decode_file_entry(CborReader& reader) {
  FileEntry entry;
  QV_TRY(decode_record(reader, kFileEntryFields, [&](std::size_t i) -> R<void> {
    switch (i) {
      case 0: return assign(entry.path, read_text, reader);
      case 1: return assign(entry.bytes, read_u64, reader);
      case 2: return assign(entry.algorithm, decode_algorithm, reader);
      case 3: return assign(entry.digest, read_text, reader);
      case 4: return assign(entry.object, read_text, reader);
      case 5: return assign(entry.object_bytes, read_u64, reader);
      case 6: return assign(entry.object_sha256, read_text, reader);
      case 7: return decode_byte_array(reader, entry.key);
      default: return decode_byte_array(reader, entry.nonce);
    }
  }));
  return entry;
}

CborResult<Manifest> decode_manifest_cbor(CborReader& reader) {
  Manifest m;
  QV_TRY(decode_record(reader, kManifestFields, [&](std::size_t i) -> R<void> {
    switch (i) {
      case 0: return assign(m.format, read_u32, reader);
      case 1: return assign(m.release, read_u64, reader);
      case 2: return assign(m.min_launcher, read_u64, reader);
      case 3: return assign(m.name, read_text, reader);
      case 4: return assign(m.zstd_level, read_i32, reader);
      case 5: return assign(m.decoder_window_log, read_u32, reader);
      case 6: return decode_list(reader, m.files, "struct FileEntry", decode_file_entry);
      case 7: return decode_list(reader, m.delete_, "a string", read_text);
      case 8: return assign(m.links, decode_links, reader);
      case 9: return assign(m.game_exe, read_text, reader);
      default: return decode_list(reader, m.game_args, "a string", read_text);
    }
  }));
  return m;
}

namespace {

// Writes one map entry: the key text, then the value that `write` appends.
class EntryWriter {
 public:
  explicit EntryWriter(std::vector<std::uint8_t>& out) : out_(out) {}

  void map(std::size_t entries) { cbor_write_head(out_, kMap, entries); }
  template <class Write>
  void entry(std::string_view key, Write&& write) {
    cbor_write_text(out_, key);
    write(out_);
  }
  void text(std::string_view key, std::string_view value) {
    entry(key, [&](auto& out) { cbor_write_text(out, value); });
  }
  void unsigned_int(std::string_view key, std::uint64_t value) {
    entry(key, [&](auto& out) { cbor_write_head(out, kUnsigned, value); });
  }
  void text_list(std::string_view key, const std::vector<std::string>& texts) {
    entry(key, [&](auto& out) {
      cbor_write_head(out, kArray, texts.size());
      for (const auto& t : texts) cbor_write_text(out, t);
    });
  }
  template <std::size_t N>
  void byte_array(std::string_view key, const std::array<std::uint8_t, N>& bytes) {
    entry(key, [&](auto& out) {
      cbor_write_head(out, kArray, N);
      for (std::uint8_t b : bytes) cbor_write_head(out, kUnsigned, b);
    });
  }

 private:
  std::vector<std::uint8_t>& out_;
};

void write_file_entry(EntryWriter& w, const FileEntry& e) {
  const auto& f = kFileEntryFields;
  w.map(f.size());
  w.text(f[0], e.path);
  w.unsigned_int(f[1], e.bytes);
  w.text(f[2], hash_algorithm_name(e.algorithm));
  w.text(f[3], e.digest);
  w.text(f[4], e.object);
  w.unsigned_int(f[5], e.object_bytes);
  w.text(f[6], e.object_sha256);
  w.byte_array(f[7], e.key);
  w.byte_array(f[8], e.nonce);
}

}  // namespace

Result<std::vector<std::uint8_t>> encode_manifest_cbor(const Manifest& m) {
  std::vector<std::uint8_t> out;
  EntryWriter w(out);
  const auto& f = kManifestFields;
  w.map(f.size());
  w.unsigned_int(f[0], m.format);
  w.unsigned_int(f[1], m.release);
  w.unsigned_int(f[2], m.min_launcher);
  w.text(f[3], m.name);
  w.entry(f[4], [&](auto& o) {
    if (m.zstd_level >= 0) {
      cbor_write_head(o, kUnsigned, static_cast<std::uint64_t>(m.zstd_level));
    } else {
      cbor_write_head(o, kNegative, static_cast<std::uint64_t>(-1 - static_cast<std::int64_t>(m.zstd_level)));
    }
  });
  w.unsigned_int(f[5], m.decoder_window_log);
  w.entry(f[6], [&](auto& o) {
    cbor_write_head(o, kArray, m.files.size());
    for (const FileEntry& entry : m.files) write_file_entry(w, entry);
  });
  w.text_list(f[7], m.delete_);
  w.entry(f[8], [&](auto&) {
    w.map(kLinksFields.size());
    w.text(kLinksFields[0], m.links.register_);
    w.text(kLinksFields[1], m.links.topup);
    w.text(kLinksFields[2], m.links.discord);
  });
  w.text(f[9], m.game_exe);
  w.text_list(f[10], m.game_args);
  return out;
}

}  // namespace qv
