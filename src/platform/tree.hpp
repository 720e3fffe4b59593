// Folder walks, listings and removals that never follow symbolic links.
//
// Every step works relative to an open folder descriptor (openat, unlinkat with
// O_NOFOLLOW), so a link planted inside a tree, or swapped in while the walk
// runs, is seen as a link and never entered. Errors are operating-system errors
// (Error::os) with no context added. Safe on any thread; no state is kept.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "core/foundations/error.hpp"
#include "platform/fs.hpp"

namespace qv::platform {

// Called for each entry of a walk with its path and the kind of the entry
// itself (a link is Symlink). A failed status ends the walk and is returned.
using TreeVisitor = std::function<Status(const std::filesystem::path& path, FileKind kind)>;

// Visits `root` itself, then every entry below it, parents before children.
// Links are reported, never entered; `root` itself being a link is reported
// and not entered either.
Status walk_tree_no_follow(const std::filesystem::path& root, const TreeVisitor& visit);

// Removes `path` and everything below it. Links are removed as entries, their
// targets are left alone. A missing `path` is an error (ENOENT).
Status remove_tree_no_follow(const std::filesystem::path& path);

// The names in a folder (without "." and ".."), in the order the system lists
// them.
Result<std::vector<std::string>> list_directory(const std::filesystem::path& path);

}  // namespace qv::platform
