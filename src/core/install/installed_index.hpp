// The installed files by letter-case-insensitive path, for looking up many
// paths of a client at once in little memory.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/formats/manifest.hpp"

namespace qv {

// The key a path is matched by: the path fully lower-cased, into `out`.
// Full lower-casing of ASCII text folds A-Z and nothing else, so the common
// ASCII path needs neither the case-mapping library nor a fresh string.
void lower_key(std::string_view path, std::string& out);

// The installed entries by lower-cased path: an open-addressing table of
// entry numbers with a part of each key's hash beside them, eight bytes a
// slot, so a client of many files indexes its installed state in a small
// fraction of what the state itself takes. Keys are lower-cased again only
// to confirm a match of the hash. The first of two entries with the same
// lower-case path wins; a validated manifest has none. Read-only once built,
// so any number of threads may look up at once; it refers to `installed`,
// which must outlive it.
class InstalledIndex {
 public:
  explicit InstalledIndex(const std::optional<Manifest>& installed);

  bool empty() const { return files_ == nullptr; }

  // The installed entry whose lower-cased path equals `key` (a lower-cased
  // path), or none; `scratch` is the caller's, reused between calls.
  const FileEntry* find(std::string_view key, std::string& scratch) const;

 private:
  struct Slot {
    std::uint32_t hash = 0;   // the low half of the key's hash
    std::uint32_t entry = 0;  // the entry's number plus one; 0 is a free slot
  };

  bool matches(const Slot& slot, std::size_t hash, std::string_view key, std::string& scratch) const;

  const std::vector<FileEntry>* files_ = nullptr;
  std::vector<Slot> slots_;
};

}  // namespace qv
