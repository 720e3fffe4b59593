// Content objects that other transaction folders of the client already hold,
// reused before a byte is fetched: moved out of a folder that has settled (one
// rename on the same file system, so a retry needs no room for a second copy),
// copied from any other. Whatever is reused is verified before use like any
// downloaded object.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

#include "core/formats/manifest.hpp"
#include "platform/error.hpp"

namespace qv {

struct SiblingFolder {
  std::filesystem::path path;
  // is_settled_transaction: its objects may be moved out.
  bool settled = false;
};

// The other entries of the folder that holds `transaction_dir` (the client's
// `.launcher/transactions`), in listing order, each passed through
// reject_reparse_points ("reparse point rejected: {}"), with whether it has
// settled. "transaction root" when `transaction_dir` has no parent; a listing
// error is the operating-system error. Reads only; the caller holds the
// client lock.
Result<std::vector<SiblingFolder>> list_sibling_transactions(const std::filesystem::path& transaction_dir);

// Puts what `siblings` hold of `entry`'s object at `object_file`, which does
// not exist yet: a complete one whose SHA-256 is the signed one, else the
// longest shorter one (resumed by the download), preferring a folder it can
// be moved out of. A larger one, one that is no regular file, and a complete
// one with another SHA-256 are left where they are. From a settled folder the
// file is moved (a copy where the rename is refused), from any other it is
// copied. Nothing found is no error. Errors: path checks, metadata, hashing,
// the move or the copy. Safe on several threads for distinct objects.
Status take_object_from_siblings(std::span<const SiblingFolder> siblings, const FileEntry& entry,
                                 const std::filesystem::path& object_file);

// The object bytes that downloading the entries `download` of `manifest` into
// `transaction_dir` must still write, each object counted once however many
// entries name it: its size, less what the transaction already holds of it
// or, when it holds nothing, what take_object_from_siblings would move in from
// a settled folder (judged by size: a moved object whose SHA-256 turns out
// wrong is fetched anew). What it would copy counts whole. Every index must be
// below manifest.files.size(). Reads only.
Result<std::uint64_t> object_bytes_to_write(const std::filesystem::path& transaction_dir,
                                            std::span<const SiblingFolder> siblings, const Manifest& manifest,
                                            std::span<const std::uint32_t> download);

}  // namespace qv
