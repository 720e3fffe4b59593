// Folder walks, listings and removals that never follow symbolic links and
// never cross into another file system.
//
// Every step works relative to an open folder descriptor (openat and unlinkat
// with O_NOFOLLOW), so a link planted inside a tree, or swapped in while the
// walk runs, is seen as a link and never entered. A mount point inside the
// tree (an entry on another device than its folder, or the root of a bind
// mount) is never entered either: what is mounted there is not the tree's. However deep the tree, a
// walk holds at most a couple of dozen descriptors: folders far above the one
// being read are closed and found again through ".." on the way back up, and
// the one found must be the very folder that was left (else ENOENT). Errors
// are operating-system errors (Error::os) with no context added. Safe on any
// thread; no state is kept.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.hpp"
#include "platform/folder.hpp"
#include "platform/fs.hpp"

namespace qv::platform {

// One entry of a walk: the kind of the entry itself (a link is Symlink), and
// whether it is a mount point of its folder.
struct TreeEntry {
  FileKind kind = FileKind::Other;
  bool mount_point = false;
};

// Called for each entry of a walk with its path. A failed status ends the
// walk and is returned.
using TreeVisitor = std::function<Status(const std::filesystem::path& path, const TreeEntry& entry)>;

// Visits every entry below the open folder `top`, parents before children,
// each with its path below `top_path`. Links and mount points are reported,
// never entered.
Status walk_folder(const Folder& top, const std::filesystem::path& top_path, const TreeVisitor& visit);

// Visits `root` itself, then every entry below it, parents before children.
// Links and mount points are reported, never entered; `root` itself being a
// link is reported and not entered either (`root` is never reported as a
// mount point: nothing above it is looked at). No link is followed on the way
// to `root` (ELOOP).
Status walk_tree_no_follow(const std::filesystem::path& root, const TreeVisitor& visit);

// Removes the entry `name` of `parent` and everything below it. Links are
// removed as entries, their targets are left alone. A missing entry is an
// error (ENOENT); a mount point, at `name` or anywhere below it, ends the
// removal with EXDEV before anything inside it is touched (what was removed
// before it was found stays removed).
Status remove_tree_at(const Folder& parent, std::string_view name);

// remove_tree_at on the entry `path` names, its folder reached without
// following any link (ELOOP).
Status remove_tree_no_follow(const std::filesystem::path& path);

// The names in a folder (without "." and ".."), in the order the system lists
// them; no link is followed on the way (ELOOP).
Result<std::vector<std::string>> list_directory(const std::filesystem::path& path);

}  // namespace qv::platform
