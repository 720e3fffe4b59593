// The manifest's CBOR form: the decoding rules every release is read by, and
// the one fixed encoding used to tell whether two manifests are the same
// release.
#pragma once

#include <cstdint>
#include <vector>

#include "core/formats/cbor.hpp"
#include "core/formats/manifest.hpp"
#include "platform/error.hpp"

namespace qv {

// Reads one manifest item at the reader's position and leaves the position
// just after it. Checks form only (keys, kinds, integer ranges); the release
// rules are applied afterwards by manifest validation. Every field is
// required; keys may come in any order, as text or byte strings, with definite
// or indefinite lengths. The first broken rule is the error; nothing partial
// is returned.
CborResult<Manifest> decode_manifest_cbor(CborReader& reader);

// Reads one file-entry item (an element of `files`, or a record that embeds
// one) at the reader's position.
CborResult<FileEntry> decode_file_entry(CborReader& reader);

// The fixed encoding: shortest heads, definite lengths, keys as text in field
// order, no tags. Equal manifests give equal bytes. Writing into memory does
// not fail; the error side exists for callers that pass errors on unchanged.
Result<std::vector<std::uint8_t>> encode_manifest_cbor(const Manifest& manifest);

// Appends one file entry in the same fixed form (for records that embed one).
void append_file_entry_cbor(std::vector<std::uint8_t>& out, const FileEntry& entry);

}  // namespace qv
