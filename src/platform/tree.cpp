#include "platform/tree.hpp"

#include <cerrno>
#include <system_error>
#include <utility>

namespace qv::platform {
namespace {

// Folders more than this many levels above the one being read are closed on
// the way down (the top excepted) and reopened through ".." on the way up, so
// a walk holds at most this many descriptors plus two, whatever the depth.
// Trees of ordinary depth never climb through "..".
constexpr std::size_t kHeldLevels = 16;

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
Result<Level> enter(Folder folder, std::string name, std::filesystem::path path) {
  Level level;
  level.identity = QV_TRY(folder.info());
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

// Walks everything below `top`: reports each entry to `visit` when given, and
// with `remove` removes each one (files at once, folders once emptied).
Status walk(const Folder& top, const std::filesystem::path& top_path, const TreeVisitor* visit, bool remove) {
  std::vector<Level> stack;
  auto top_copy = QV_TRY(top.open_subfolder("."));
  stack.push_back(QV_TRY(enter(std::move(top_copy), {}, top_path)));
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
    const FileKind kind = entry.kind ? *entry.kind : QV_TRY(current.folder.entry_info(entry.name)).kind;
    std::filesystem::path path;
    if (visit != nullptr) {
      path = current.path / entry.name;
      QV_TRY((*visit)(path, kind));
    }
    if (kind == FileKind::Directory) {
      auto child = QV_TRY(current.folder.open_subfolder(entry.name));
      stack.push_back(QV_TRY(enter(std::move(child), std::move(entry.name), std::move(path))));
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
  QV_TRY(visit(root, root_info.kind));
  if (root_info.kind != FileKind::Directory) return {};
  return walk_folder(QV_TRY(open_folder(root)), root, visit);
}

Status remove_tree_at(const Folder& parent, std::string_view name) {
  if (QV_TRY(parent.entry_info(name)).kind != FileKind::Directory) return parent.remove_file(name);
  const auto folder = QV_TRY(parent.open_subfolder(name));
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
