// Client-relative paths, the launcher's reserved paths, protected reference
// clients, link refusal and the resolution of client paths to physical paths.
//
// Every function here only inspects: none creates, writes or deletes anything.
// All are safe on any thread; a PhysicalPathCache belongs to one thread at a
// time. Operating-system errors are returned as they
// are, with no context added.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "platform/error.hpp"
#include "platform/fd.hpp"
#include "platform/fs.hpp"

namespace qv {

namespace fs = std::filesystem;

// The grammar every client-relative path passes before any use: 1 to 19999
// bytes, "/"-separated, no leading "/", no "\", no empty, "." or ".."
// component, no component ending in a blank or ".", no control character, none
// of `"<>:|?*`, and no reserved device stem.
Status validate_relative_path(std::string_view path);

// The grammar, then the launcher's reserved paths (".launcher" and below,
// "launcher.exe", "LauncherUpdater.exe", "launcher.json", "builder.json", whole
// path compared after full lower-casing): "reserved launcher path".
Status check_reserved_path(std::string_view path);

// The grammar, the join onto `root`, then `reject_reparse_points` on the
// result, which below `root` refuses mount points too: "reparse point
// rejected: {prefix}" for an existing prefix below the root that is a mount
// point of the folder above it (see platform::is_mount_point), so that nothing
// reached this way lies on another file system than the root. Reserved
// launcher paths are allowed: the launcher's own files are reached through
// this.
Result<fs::path> join_checked(const fs::path& root, std::string_view relative);

// The refusal of a link or mount point at `path`: "reparse point rejected:
// {path}".
std::unexpected<Error> reparse_point_rejected(const std::filesystem::path& path);

// Refuses a path any existing prefix of which is a symbolic link: "reparse
// point rejected: {prefix}". A missing prefix ends the walk; any other failure
// to read a prefix's metadata is returned as the operating-system error. A
// mount point is refused only where the root it lies below is known
// (`join_checked`, `resolve_physical_path`, the removal of transaction
// folders): the path alone cannot tell one planted inside a client from the
// machine's own, and a client on a disk of its own lies below a mount point.
Status reject_reparse_points(const fs::path& path);

// The canonical client root, refused when a component of it is a protected
// reference-client folder name: "immutable original/comparison client cannot
// be a write target".
Result<fs::path> resolve_write_root(const fs::path& root);

// The joined path of a client file named by release data, after proving that
// its nearest existing ancestor lies physically inside the client ("physical
// path escaped client") and is not a reserved launcher path. Returns the joined
// path, not the canonical one.
Result<fs::path> resolve_physical_path(const fs::path& root, std::string_view relative);

// resolve_physical_path for many paths under one root, on one thread, with
// the same results and errors. When the root is canonical and no prefix of it
// is a link (looked at once, when the cache is made), each folder below it is
// looked at once instead of every prefix of every path again (some twenty
// metadata calls a file), mount points refused as `join_checked` refuses
// them, and every look-up starts from a handle on the root, so the kernel
// walks only the client-relative part. A folder swapped for a
// link after it was looked at is not seen: use it for paths that are only
// read (a check, a verification), never to decide where to write.
class PhysicalPathCache {
 public:
  explicit PhysicalPathCache(fs::path root);
  Result<fs::path> resolve(std::string_view relative);

  // resolve()'s checks and errors, and from the same look the metadata of
  // what stands at the path itself (a link there is refused, as resolve()
  // refuses it); nothing when nothing stands there.
  Result<std::optional<platform::FileInfo>> examine(std::string_view relative);

  // Opens the file at `relative`, which examine() accepted, for reading; a
  // link put there since fails with the operating-system error instead of
  // being followed.
  Result<platform::UniqueFd> open_for_reading(std::string_view relative);

 private:
  // `relative` in text_, NUL-terminated, for the calls below the root.
  const char* below_root(std::string_view relative);

  fs::path root_;
  platform::FileInfo root_info_;
  platform::UniqueFd root_fd_;  // open only when the root is plain
  std::set<std::string, std::less<>> checked_;  // folders below the root that are no links
  std::string text_;
};

// 32 lower-case hexadecimal digits encoding 16 fresh random bytes.
std::string random_hex_id();

// True for exactly 32 ASCII hexadecimal digits, either letter case.
bool is_hex_id(std::string_view text);

// True when a component of `path`, fully lower-cased, is "qvonline pristine"
// or "qvonline variant".
bool has_protected_component(const fs::path& path);

// True when `path` equals `base` or lies below it, compared component by
// component (case-sensitively). Both should be absolute and normalised.
bool path_within(const fs::path& path, const fs::path& base);

}  // namespace qv
