#include "core/formats/manifest_codec.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "core/formats/cbor_fields.hpp"

namespace qv {
namespace {

using namespace cbor_major;

constexpr std::array<std::string_view, 11> kManifestFields = {
    "format", "release", "min_launcher", "name",     "zstd_level", "decoder_window_log",
    "files",  "delete",  "links",        "game_exe", "game_args"};
constexpr std::array<std::string_view, 9> kFileEntryFields = {
    "path", "bytes", "algorithm", "digest", "object", "object_bytes", "object_sha256", "key", "nonce"};
constexpr std::array<std::string_view, 3> kLinksFields = {"register", "topup", "discord"};

// A list reserves at most this much up front, whatever count its head claims.
constexpr std::size_t kListReserveBytes = 1024 * 1024;

template <class T>
using R = CborResult<T>;

std::unexpected<CborError> length_error(std::size_t found, std::size_t wanted) {
  return cbor_semantic("invalid length " + std::to_string(found) + ", expected an array of length " +
                       std::to_string(wanted));
}

// --- texts and lists ------------------------------------------------------

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
  CborNesting nesting(reader);
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
      return cbor_type_error(first, byte_expected);
    }
    return {};
  }
  if (head.major != kArray) return cbor_type_error(head, "array");
  QV_TRY(reader.enter());
  CborNesting nesting(reader);
  if (!head.indefinite()) {
    // Every element takes at least one byte of input.
    const std::uint64_t bound =
        std::min<std::uint64_t>({head.argument, reader.remaining(), kListReserveBytes / sizeof(T)});
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
  if (head.major != kArray) return cbor_type_error(head, "array");
  QV_TRY(reader.enter());
  CborNesting nesting(reader);
  std::size_t count = 0;
  while (count < N) {
    if (head.indefinite() ? QV_TRY(at_break(reader)) : count == head.argument) return length_error(count, N);
    out[count++] = QV_TRY(cbor_read_u8(reader));
  }
  // An indefinite array of exactly N elements ends with its break; taking it
  // here keeps it from being read as the end of the enclosing record.
  if (head.indefinite()) QV_TRY(at_break(reader));
  return {};
}

R<HashAlgorithm> decode_algorithm(CborReader& reader) {
  CborHead head = QV_TRY(reader.read_head_skipping_tags());
  if (head.major != kText) return cbor_type_error(head, "enum");
  if (head.indefinite() || head.argument > CborReader::kMaxKeyBytes) return cbor_type_error(head, "str or bytes");
  QV_TRY(reader.enter());
  CborNesting nesting(reader);
  std::string name;
  QV_TRY(reader.read_string_body(head, name));
  auto algorithm = parse_hash_algorithm(name);
  if (!algorithm) return cbor_semantic(unknown_algorithm_error(name));
  return *algorithm;
}

// --- records --------------------------------------------------------------

template <class T, class Read>
R<void> assign(T& field, Read&& read, CborReader& reader) {
  field = QV_TRY(read(reader));
  return {};
}

R<Links> decode_links(CborReader& reader) {
  Links links;
  std::string* fields[] = {&links.register_, &links.topup, &links.discord};
  QV_TRY(cbor_decode_record(reader, kLinksFields,
                            [&](std::size_t i) { return assign(*fields[i], cbor_read_text, reader); }));
  return links;
}

}  // namespace

CborResult<FileEntry> decode_file_entry(CborReader& reader) {
  FileEntry entry;
  QV_TRY(cbor_decode_record(reader, kFileEntryFields, [&](std::size_t i) -> R<void> {
    switch (i) {
      case 0: return assign(entry.path, cbor_read_text, reader);
      case 1: return assign(entry.bytes, cbor_read_u64, reader);
      case 2: return assign(entry.algorithm, decode_algorithm, reader);
      case 3: return assign(entry.digest, cbor_read_text, reader);
      case 4: return assign(entry.object, cbor_read_text, reader);
      case 5: return assign(entry.object_bytes, cbor_read_u64, reader);
      case 6: return assign(entry.object_sha256, cbor_read_text, reader);
      case 7: return decode_byte_array(reader, entry.key);
      default: return decode_byte_array(reader, entry.nonce);
    }
  }));
  return entry;
}

CborResult<Manifest> decode_manifest_cbor(CborReader& reader) {
  Manifest m;
  QV_TRY(cbor_decode_record(reader, kManifestFields, [&](std::size_t i) -> R<void> {
    switch (i) {
      case 0: return assign(m.format, cbor_read_u32, reader);
      case 1: return assign(m.release, cbor_read_u64, reader);
      case 2: return assign(m.min_launcher, cbor_read_u64, reader);
      case 3: return assign(m.name, cbor_read_text, reader);
      case 4: return assign(m.zstd_level, cbor_read_i32, reader);
      case 5: return assign(m.decoder_window_log, cbor_read_u32, reader);
      case 6: return decode_list(reader, m.files, "struct FileEntry", decode_file_entry);
      case 7: return decode_list(reader, m.delete_, "a string", cbor_read_text);
      case 8: return assign(m.links, decode_links, reader);
      case 9: return assign(m.game_exe, cbor_read_text, reader);
      default: return decode_list(reader, m.game_args, "a string", cbor_read_text);
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

void append_file_entry_cbor(std::vector<std::uint8_t>& out, const FileEntry& entry) {
  EntryWriter w(out);
  write_file_entry(w, entry);
}

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
