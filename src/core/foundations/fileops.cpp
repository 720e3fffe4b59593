#include "core/foundations/fileops.hpp"

#include <functional>

#include <fmt/format.h>

#include "core/foundations/paths.hpp"
#include "platform/durable.hpp"
#include "platform/folder.hpp"
#include "platform/fs.hpp"
#include "platform/tree.hpp"

namespace qv {
namespace {

constexpr std::string_view kImmutableInput = "immutable input cannot be a write target";
constexpr std::string_view kMissingAncestor = "missing write-target ancestor";
constexpr std::string_view kNoParent = "parent";
constexpr std::string_view kReplaceFailed = "replace {}: {}";
constexpr std::string_view kNotAFile = "replacement target is not a file: {}";
constexpr std::string_view kLockedOrNotWritable = "file locked or not writable: {}: {}";
constexpr std::string_view kScopeViolation = "cleanup scope violation";
constexpr std::string_view kTransactionId = "transaction id";
constexpr std::string_view kCleanupPending = "Cleanup pending for {}: {}";

constexpr std::string_view kTransactionsDir = ".launcher/transactions";
constexpr std::string_view kCleanupPendingDir = ".launcher/state/cleanup-pending";
constexpr std::string_view kMarkerBytes = R"({"pending":true})";
constexpr std::string_view kMarkerSuffix = ".json";
constexpr std::string_view kTempSuffix = ".writing";

// New files are readable by everyone and writable by their owner, under the
// umask.
constexpr unsigned kNewFileMode = 0644;

// A relative path joined onto the current folder, without normalising.
Result<fs::path> make_absolute(const fs::path& path) {
  if (path.is_absolute()) return path;
  const auto cwd = QV_TRY(platform::current_dir());
  return cwd / path;
}

// The folder that holds `path` and the entry's name in it; the root of the
// file system has no folder. A path longer than the system takes could be
// made through folders held open, and then never be named again: refused
// before anything is made.
Result<platform::EntryPath> entry_of(const fs::path& path) {
  const auto absolute = QV_TRY(make_absolute(path));
  auto entry = platform::split_entry_path(absolute);
  if (!entry) return fail(std::string(kNoParent));
  QV_TRY(platform::check_path_length(absolute));
  return *std::move(entry);
}

// An open of `path` refused for a link on the way: in the guard's own words
// while the link is there, else the operating-system error.
std::unexpected<Error> refused(const Error& error, const fs::path& path) {
  if (platform::is_link_refusal(error)) {
    if (auto checked = reject_reparse_points(path); !checked) return std::unexpected(checked.error());
  }
  return std::unexpected(error);
}

Result<platform::Folder> open_folder_checked(const fs::path& folder, bool create) {
  auto opened = create ? platform::open_or_create_folder(folder) : platform::open_folder(folder);
  if (!opened) return refused(opened.error(), folder);
  return opened;
}

bool is_marker_name(std::string_view name) {
  const std::size_t id_length = 32;
  return name.size() == id_length + kMarkerSuffix.size() && name.ends_with(kMarkerSuffix) &&
         is_hex_id(name.substr(0, id_length));
}

std::unexpected<Error> replace_failed(const fs::path& destination, const Error& cause) {
  return fail(fmt::format(fmt::runtime(kReplaceFailed), destination.string(), cause.to_string()));
}

// Fills the new file open for writing at `fd`.
using Filler = std::function<Status(int fd)>;

// Makes entry `name` of a folder already held anew: a fresh "{id}.writing"
// sibling is created, filled, flushed and renamed over it, and the folder
// flushed. Whatever stood at `name` is replaced, never written into, so a
// second name of that file elsewhere keeps its content. `target` names the
// result in messages.
Status make_anew_in(const platform::Folder& folder, std::string_view name, const fs::path& target,
                    const Filler& fill) {
  const std::string temporary = random_hex_id() + std::string(kTempSuffix);
  Status written = [&]() -> Status {
    auto fd = QV_TRY(folder.create_new_file(temporary, kNewFileMode));
    QV_TRY(fill(fd.get()));
    QV_TRY(platform::flush_fd(fd.get()));
    QV_TRY(platform::close_fd(fd.release()));
    if (auto moved = platform::rename_entry(folder, temporary, folder, name); !moved) {
      return replace_failed(target, moved.error());
    }
    return folder.flush();
  }();
  if (!written) {
    // A temporary left behind would linger for ever (in the cleanup-pending
    // folder it would even count as an unfinished removal). After a rename
    // that went through, it is already gone and this finds nothing.
    (void)folder.remove_file(temporary);
  }
  return written;
}

Status write_atomic_in(const platform::Folder& folder, std::string_view name, std::string_view bytes,
                       const fs::path& target) {
  return make_anew_in(folder, name, target,
                      [bytes](int fd) { return platform::write_all(fd, bytes.data(), bytes.size()); });
}

// write_file_atomic, handing back the target's folder for later steps.
Result<EntryFolder> write_atomic_keeping_folder(const fs::path& target, std::string_view bytes) {
  QV_TRY(check_write_target(target));
  QV_TRY(reject_reparse_points(target));
  auto entry = QV_TRY(open_entry_folder(target, /*create=*/true));
  QV_TRY(write_atomic_in(entry.folder, entry.name, bytes, target));
  return entry;
}

Status locked_or_not_writable(const fs::path& path, const Error& cause) {
  return fail(fmt::format(fmt::runtime(kLockedOrNotWritable), path.string(), cause.to_string()));
}

// A transaction folder proven removable, held by descriptor: the removal acts
// on entry `id` of the transactions folder reached without links below the
// canonical root, whatever the given path names by then.
struct TransactionDir {
  fs::path canonical;
  platform::Folder transactions;
  std::string id;
};

Result<TransactionDir> open_transaction_dir(const fs::path& root, const fs::path& folder) {
  const auto canonical_root = QV_TRY(resolve_write_root(root));
  const auto transactions = QV_TRY(join_checked(canonical_root, kTransactionsDir));
  const auto canonical_folder = QV_TRY(platform::canonicalize(folder));
  const auto canonical_transactions = QV_TRY(platform::canonicalize(transactions));
  if (!canonical_folder.has_relative_path() || canonical_folder.parent_path() != canonical_transactions) {
    return fail(std::string(kScopeViolation));
  }
  std::string id = canonical_folder.filename().string();
  if (!is_hex_id(id)) return fail(std::string(kTransactionId));
  auto held = platform::open_folder(transactions);
  if (!held) return refused(held.error(), transactions);
  // A file named like a transaction is not one (ENOTDIR), and must not be
  // removed as one.
  auto tree = held->open_subfolder(id);
  if (!tree) return refused(tree.error(), transactions / id);
  // Nothing of another file system is removed: not a folder mounted in the
  // transaction's place, nor anything mounted below it.
  const auto reparse_point = [](const fs::path& path) {
    return reparse_point_rejected(path);
  };
  if (platform::is_mount_point(QV_TRY(tree->info()), QV_TRY(held->info()))) return reparse_point(canonical_folder);
  QV_TRY(platform::walk_folder(*tree, canonical_folder,
                               [&](const fs::path& path, const platform::TreeEntry& entry) -> Status {
                                 if (entry.kind == platform::FileKind::Symlink || entry.mount_point)
                                   return reparse_point(path);
                                 return {};
                               }));
  return TransactionDir{canonical_folder, std::move(*held), std::move(id)};
}

}  // namespace

Result<EntryFolder> open_entry_folder(const fs::path& path, bool create) {
  auto entry = QV_TRY(entry_of(path));
  auto folder = QV_TRY(open_folder_checked(entry.folder, create));
  return EntryFolder{std::move(folder), std::move(entry.name)};
}

Status check_write_target(const fs::path& path) {
  const auto absolute = QV_TRY(make_absolute(path));
  if (has_protected_component(absolute)) return fail(std::string(kImmutableInput));
  QV_TRY(reject_reparse_points(absolute));
  fs::path ancestor = absolute;
  while (!platform::stat_path(ancestor)) {
    if (!ancestor.has_relative_path()) return fail(std::string(kMissingAncestor));
    ancestor = ancestor.parent_path();
  }
  QV_TRY(resolve_write_root(ancestor));
  return {};
}

Status write_file_atomic(const fs::path& target, std::string_view bytes) {
  QV_TRY(write_atomic_keeping_folder(target, bytes));
  return {};
}

Status replace_file(const fs::path& source, const fs::path& destination) {
  QV_TRY(check_write_target(source));
  QV_TRY(check_write_target(destination));
  QV_TRY(reject_reparse_points(source));
  QV_TRY(reject_reparse_points(destination));
  const auto from = QV_TRY(entry_of(source));
  const auto to = QV_TRY(entry_of(destination));
  // Whatever keeps the move from happening is the move's failure; a link that
  // appeared on the way is named as the guard names it.
  const auto move_failure = [&](const Error& error) -> std::unexpected<Error> {
    if (!error.os_code()) return std::unexpected(error);
    return replace_failed(destination, error);
  };
  auto source_folder = open_folder_checked(from.folder, /*create=*/false);
  if (!source_folder) return move_failure(source_folder.error());
  std::optional<platform::Folder> other_folder;
  if (to.folder != from.folder) {
    auto opened = open_folder_checked(to.folder, /*create=*/false);
    if (!opened) return move_failure(opened.error());
    other_folder = std::move(*opened);
  }
  const platform::Folder& destination_folder = other_folder ? *other_folder : *source_folder;
  bool one_folder = !other_folder;
  if (!one_folder) {
    const auto a = source_folder->info();
    const auto b = destination_folder.info();
    one_folder = a && b && a->same_file_as(*b);
  }

  if (one_folder && from.name == to.name) {
    // One entry under two spellings ("d/./f" and "d/f"): a rename onto itself
    // keeps it and changes nothing (and fails as any move would when the file
    // is missing).
    if (auto kept = platform::rename_entry(*source_folder, from.name, destination_folder, to.name); !kept) {
      return move_failure(kept.error());
    }
    return {};
  }
  const auto source_info = source_folder->entry_info(from.name);
  const auto destination_info = destination_folder.entry_info(to.name);
  if (source_info && destination_info && source_info->same_file_as(*destination_info)) {
    // Two names of one file: the kernel's rename then does nothing and reports
    // success, so the move is finished by removing the source name.
    if (auto removed = source_folder->remove_file(from.name); !removed) return move_failure(removed.error());
  } else if (auto moved = platform::rename_entry(*source_folder, from.name, destination_folder, to.name); !moved) {
    return move_failure(moved.error());
  }
  QV_TRY(destination_folder.flush());
  if (!one_folder) QV_TRY(source_folder->flush());
  return {};
}

Status copy_durable(const fs::path& source, const fs::path& destination) {
  QV_TRY(check_write_target(destination));
  QV_TRY(reject_reparse_points(source));
  QV_TRY(reject_reparse_points(destination));
  const auto target = QV_TRY(open_entry_folder(destination, /*create=*/true));
  // The open does not block, so a pipe or device planted under the source's
  // name cannot hang the copy; only a regular file is copied.
  auto in = platform::open_regular_for_reading(source);
  if (!in) return refused(in.error(), source);
  const auto source_info = QV_TRY(platform::stat_fd(in->get()));
  QV_TRY(target.folder.check_copy_destination(target.name, source_info));
  // A new file moved into place: a destination that is a second name of a
  // file elsewhere loses that name instead of rewriting the file behind it.
  return make_anew_in(target.folder, target.name, destination, [&](int fd) -> Status {
    QV_TRY(platform::copy_contents(in->get(), fd));
    // A copied program must still run, so the copy takes the source's bits.
    return platform::set_mode(fd, source_info.mode);
  });
}

Status probe_targets(const std::vector<fs::path>& targets) {
  // Held until every target passed: a second name for a file already held
  // then fails like any other opener.
  std::vector<platform::UniqueFd> held;
  held.reserve(targets.size());
  for (const auto& target : targets) {
    QV_TRY(check_write_target(target));
    QV_TRY(reject_reparse_points(target));
    const auto entry = QV_TRY(entry_of(target));
    auto folder = platform::open_folder(entry.folder);
    if (!folder) {
      if (platform::is_link_refusal(folder.error())) return refused(folder.error(), entry.folder);
      continue;  // no folder yet: nothing to replace
    }
    const auto info = folder->entry_info(entry.name);
    if (!info) continue;  // not there yet: nothing to replace
    if (info->kind != platform::FileKind::Regular) {
      return fail(fmt::format(fmt::runtime(kNotAFile), target.string()));
    }
    // A running program refuses this open (ETXTBSY).
    auto fd = folder->open_for_update(entry.name);
    if (!fd) return locked_or_not_writable(target, fd.error());
    if (auto writable = folder->check_writable(); !writable) return locked_or_not_writable(target, writable.error());
    if (auto alone = platform::probe_sole_opener(fd->get()); !alone) {
      return locked_or_not_writable(target, alone.error());
    }
    held.push_back(std::move(*fd));
  }
  return {};
}

Result<fs::path> check_transaction_dir(const fs::path& root, const fs::path& folder) {
  return QV_TRY(open_transaction_dir(root, folder)).canonical;
}

Status cleanup_transaction(const fs::path& root, const fs::path& folder) {
  const auto transaction = QV_TRY(open_transaction_dir(root, folder));
  const auto marker = QV_TRY(
      join_checked(root, fmt::format("{}/{}{}", kCleanupPendingDir, transaction.id, kMarkerSuffix)));
  const auto marker_entry = QV_TRY(write_atomic_keeping_folder(marker, kMarkerBytes));
  QV_TRY(platform::remove_tree_at(transaction.transactions, transaction.id));
  return marker_entry.folder.remove_file(marker_entry.name);
}

Result<std::vector<std::string>> process_cleanup_pending(const fs::path& root) {
  const auto marker_dir = QV_TRY(join_checked(root, kCleanupPendingDir));
  std::vector<std::string> failures;
  if (!platform::stat_path(marker_dir)) return failures;
  const auto markers = QV_TRY(open_folder_checked(marker_dir, /*create=*/false));
  const auto names = QV_TRY(markers.list());
  for (const auto& name : names) {
    if (!is_marker_name(name)) continue;
    const std::string id = name.substr(0, name.size() - kMarkerSuffix.size());
    QV_TRY(reject_reparse_points(marker_dir / name));
    const auto transaction = QV_TRY(join_checked(root, fmt::format("{}/{}", kTransactionsDir, id)));
    const Status finished =
        platform::stat_path(transaction) ? cleanup_transaction(root, transaction) : markers.remove_file(name);
    if (!finished) failures.push_back(fmt::format(fmt::runtime(kCleanupPending), id, finished.error().to_string()));
  }
  return failures;
}

Result<bool> has_cleanup_markers(const fs::path& root) {
  const auto marker_dir = QV_TRY(join_checked(root, kCleanupPendingDir));
  const auto markers = QV_TRY(open_folder_checked(marker_dir, /*create=*/false));
  const auto names = QV_TRY(markers.list());
  for (const auto& name : names) {
    if (is_marker_name(name)) return true;
  }
  return false;
}

}  // namespace qv
