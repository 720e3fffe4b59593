#include "platform/tree.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

namespace qv::platform {
namespace {

// Folders more than this many levels above the one being read are closed on
// the way down (the top excepted) and reopened through ".." on the way up, so
// a walk holds at most this many descriptors plus two, whatever the depth.
// Trees of ordinary depth never climb through "..".
constexpr std::size_t kHeldLevels = 16;

// A removal unlinks the files of a folder with at least this many on several
// threads: freeing a file's blocks waits on the file system, and a
// transaction folder holds thousands of objects and set-aside files.
constexpr std::size_t kParallelRemovalFiles = 32;
constexpr unsigned kRemovalThreads = 8;

// One folder on the way down from the top.
struct Level {
  Folder folder;                    // closed while the level lies far above the current one
  FileInfo identity;                // to recognise it when climbing back through ".."
  std::vector<FolderEntry> entries;  // read once when the level is entered
  std::size_t next = 0;
  std::string name;            // its name in the level above
  std::filesystem::path path;  // only for walks that report paths
};

// The whole listing is read on entry, so that the folder's descriptor can be
// closed and reopened while its subfolders are walked; a folder being
// removed loses its entries as the walk goes, so no position has to survive.
Result<Level> enter(Folder folder, FileInfo identity, std::string name, std::filesystem::path path) {
  Level level;
  level.identity = identity;
  level.entries = QV_TRY(folder.entries());
  level.folder = std::move(folder);
  level.name = std::move(name);
  level.path = std::move(path);
  return level;
}

// Gives `parent` its descriptor back when it was closed, through the ".." of
// `child`, which must lead to the very folder that was left: a folder moved
// elsewhere meanwhile ends the walk instead of taking it somewhere else.
Status reopen(Level& parent, const Level& child) {
  if (parent.folder) return {};
  auto folder = QV_TRY(child.folder.open_subfolder(".."));
  if (!QV_TRY(folder.info()).same_file_as(parent.identity)) return fail_os(ENOENT);
  parent.folder = std::move(folder);
  return {};
}

// Removes the entries of `level` whose listing says they are not folders, on
// several threads when there are many, and leaves the others (folders, and
// entries of unknown kind) for the walk. Every such entry is tried; the
// error returned is that of the first failure in listing order, as removing
// them one after the other would have met it first.
Status remove_listed_files(Level& level) {
  std::vector<std::size_t> files;
  for (std::size_t i = 0; i < level.entries.size(); ++i) {
    const auto& kind = level.entries[i].kind;
    if (kind && *kind != FileKind::Directory) files.push_back(i);
  }
  if (files.size() < kParallelRemovalFiles) return {};
  std::vector<std::optional<Error>> failures(files.size());
  std::atomic<std::size_t> next{0};
  const auto work = [&] {
    for (std::size_t k = next++; k < files.size(); k = next++) {
      if (auto removed = level.folder.remove_file(level.entries[files[k]].name); !removed) {
        failures[k] = std::move(removed).error();
      }
    }
  };
  {
    std::vector<std::jthread> threads;
    const unsigned count = std::min<std::size_t>(kRemovalThreads, files.size() / (kParallelRemovalFiles / 2));
    try {
      for (unsigned t = 1; t < count; ++t) threads.emplace_back(work);
    } catch (const std::system_error&) {
      // Fewer threads, or none: this one removes the rest.
    }
    work();
  }
  for (auto& failure : failures) {
    if (failure) return std::unexpected(std::move(*failure));
  }
  std::vector<FolderEntry> rest;
  std::size_t k = 0;
  for (std::size_t i = 0; i < level.entries.size(); ++i) {
    if (k < files.size() && files[k] == i) {
      ++k;
    } else {
      rest.push_back(std::move(level.entries[i]));
    }
  }
  level.entries = std::move(rest);
  return {};
}

// Walks everything below `top`: reports each entry to `visit` when given, and
// with `remove` removes each one (files at once, folders once emptied). A
// mount point is reported and never entered; a removal that meets one ends
// with EXDEV.
Status walk(const Folder& top, const std::filesystem::path& top_path, const TreeVisitor* visit, bool remove) {
  std::vector<Level> stack;
  auto top_copy = QV_TRY(top.open_subfolder("."));
  const auto top_identity = QV_TRY(top_copy.info());
  stack.push_back(QV_TRY(enter(std::move(top_copy), top_identity, {}, top_path)));
  if (remove && visit == nullptr) QV_TRY(remove_listed_files(stack.back()));
  for (;;) {
    Level& current = stack.back();
    if (current.next == current.entries.size()) {
      if (stack.size() == 1) return {};
      Level done = std::move(stack.back());
      stack.pop_back();
      Level& parent = stack.back();
      QV_TRY(reopen(parent, done));
      done.folder = Folder();
      if (remove) QV_TRY(parent.folder.remove_folder(done.name));
      continue;
    }
    FolderEntry entry = std::move(current.entries[current.next++]);
    TreeEntry found;
    std::filesystem::path path;
    if (visit != nullptr) {
      // A visitor is told of every mount point, a file bound over another
      // included, so every entry is looked at.
      const auto info = QV_TRY(current.folder.entry_info(entry.name));
      found = {info.kind, is_mount_point(info, current.identity)};
      path = current.path / entry.name;
      QV_TRY((*visit)(path, found));
    } else {
      found.kind = entry.kind ? *entry.kind : QV_TRY(current.folder.entry_info(entry.name)).kind;
    }
    if (found.mount_point) {
      if (remove) return fail_os(EXDEV);
      continue;
    }
    if (found.kind == FileKind::Directory) {
      auto child = QV_TRY(current.folder.open_subfolder(entry.name));
      // The folder opened is the one judged: something mounted over the
      // entry since it was looked at (or unseen, in a removal) is refused
      // before a single name of it is read.
      const auto identity = QV_TRY(child.info());
      if (is_mount_point(identity, current.identity)) {
        if (remove) return fail_os(EXDEV);
        continue;
      }
      stack.push_back(QV_TRY(enter(std::move(child), identity, std::move(entry.name), std::move(path))));
      if (remove && visit == nullptr) QV_TRY(remove_listed_files(stack.back()));
      if (stack.size() > kHeldLevels + 1) stack[stack.size() - 1 - kHeldLevels].folder = Folder();
    } else if (remove) {
      QV_TRY(current.folder.remove_file(entry.name));
    }
  }
}

}  // namespace

Status walk_folder(const Folder& top, const std::filesystem::path& top_path, const TreeVisitor& visit) {
  return walk(top, top_path, &visit, /*remove=*/false);
}

Status walk_tree_no_follow(const std::filesystem::path& root, const TreeVisitor& visit) {
  const auto root_info = QV_TRY(lstat_path(root));
  QV_TRY(visit(root, TreeEntry{root_info.kind, false}));
  if (root_info.kind != FileKind::Directory) return {};
  return walk_folder(QV_TRY(open_folder(root)), root, visit);
}

Status remove_tree_at(const Folder& parent, std::string_view name) {
  const auto parent_info = QV_TRY(parent.info());
  const auto info = QV_TRY(parent.entry_info(name));
  if (is_mount_point(info, parent_info)) return fail_os(EXDEV);
  if (info.kind != FileKind::Directory) return parent.remove_file(name);
  const auto folder = QV_TRY(parent.open_subfolder(name));
  if (is_mount_point(QV_TRY(folder.info()), parent_info)) return fail_os(EXDEV);
  QV_TRY(walk(folder, {}, nullptr, /*remove=*/true));
  return parent.remove_folder(name);
}

Status remove_tree_no_follow(const std::filesystem::path& path) {
  std::error_code ec;
  const auto absolute = std::filesystem::absolute(path, ec);
  if (ec) return fail_os(ec.value());
  const auto entry = split_entry_path(absolute);
  if (!entry) return fail_os(EBUSY);  // the root of the file system
  return remove_tree_at(QV_TRY(open_folder(entry->folder)), entry->name);
}

Result<std::vector<std::string>> list_directory(const std::filesystem::path& path) {
  return QV_TRY(open_folder(path)).list();
}

}  // namespace qv::platform
