#include "core/foundations/fileops.hpp"

#include <fcntl.h>

#include <cerrno>

#include <fmt/format.h>

#include "core/foundations/paths.hpp"
#include "platform/durable.hpp"
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
constexpr std::string_view kReparsePoint = "reparse point rejected: {}";
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

// The folder that holds `path`; the root of the file system has none.
Result<fs::path> parent_of(const fs::path& path) {
  const auto absolute = QV_TRY(make_absolute(path));
  if (absolute.relative_path().empty()) return fail(std::string(kNoParent));
  return absolute.parent_path();
}

bool is_marker_name(std::string_view name) {
  const std::size_t id_length = 32;
  return name.size() == id_length + kMarkerSuffix.size() && name.ends_with(kMarkerSuffix) &&
         is_hex_id(name.substr(0, id_length));
}

// Writes, flushes and closes a file that must not exist yet.
Status write_new_file(const fs::path& path, std::string_view bytes) {
  auto fd = QV_TRY(platform::open_fd(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, kNewFileMode));
  QV_TRY(platform::write_all(fd.get(), bytes.data(), bytes.size()));
  QV_TRY(platform::flush_fd(fd.get()));
  return platform::close_fd(fd.release());
}

Status locked_or_not_writable(const fs::path& path, const Error& cause) {
  return fail(fmt::format(fmt::runtime(kLockedOrNotWritable), path.string(), cause.to_string()));
}

}  // namespace

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
  QV_TRY(check_write_target(target));
  QV_TRY(reject_reparse_points(target));
  const auto parent = QV_TRY(parent_of(target));
  QV_TRY(platform::make_directories(parent));
  const fs::path temporary = parent / (random_hex_id() + std::string(kTempSuffix));
  Status written = write_new_file(temporary, bytes);
  if (written) written = replace_file(temporary, target);
  if (!written) {
    // A temporary left behind would linger for ever (in the cleanup-pending
    // folder it would even count as an unfinished removal). After a rename
    // that went through, it is already gone and this finds nothing.
    (void)platform::remove_file(temporary);
  }
  return written;
}

Status replace_file(const fs::path& source, const fs::path& destination) {
  QV_TRY(check_write_target(source));
  QV_TRY(check_write_target(destination));
  QV_TRY(reject_reparse_points(source));
  QV_TRY(reject_reparse_points(destination));
  // Two names of one file: the kernel's rename then does nothing and reports
  // success, so the move is finished by removing the source name.
  const auto source_info = platform::lstat_path(source);
  const auto destination_info = platform::lstat_path(destination);
  if (source_info && destination_info && source_info->device == destination_info->device &&
      source_info->inode == destination_info->inode) {
    if (auto removed = platform::remove_file(source); !removed) {
      return fail(fmt::format(fmt::runtime(kReplaceFailed), destination.string(), removed.error().to_string()));
    }
  } else if (auto moved = platform::rename_path(source, destination); !moved) {
    return fail(fmt::format(fmt::runtime(kReplaceFailed), destination.string(), moved.error().to_string()));
  }
  const auto destination_folder = QV_TRY(parent_of(destination));
  const auto source_folder = QV_TRY(parent_of(source));
  QV_TRY(platform::flush_directory(destination_folder));
  if (source_folder.lexically_normal() != destination_folder.lexically_normal()) {
    QV_TRY(platform::flush_directory(source_folder));
  }
  return {};
}

Status copy_durable(const fs::path& source, const fs::path& destination) {
  QV_TRY(check_write_target(destination));
  QV_TRY(reject_reparse_points(source));
  QV_TRY(reject_reparse_points(destination));
  const auto parent = QV_TRY(parent_of(destination));
  QV_TRY(platform::make_directories(parent));
  // Non-blocking opens, so a pipe or device planted under the name cannot
  // hang the copy; only a regular file is copied.
  auto in = QV_TRY(platform::open_fd(source, O_RDONLY | O_NOFOLLOW | O_NONBLOCK));
  const auto source_info = QV_TRY(platform::stat_fd(in.get()));
  if (source_info.kind != platform::FileKind::Regular) return fail_os(EINVAL);
  // Emptied only after proving it is another file: truncating the source
  // through a second name would destroy what is being copied.
  auto out = QV_TRY(platform::open_fd(destination, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK, kNewFileMode));
  const auto destination_info = QV_TRY(platform::stat_fd(out.get()));
  if (destination_info.kind != platform::FileKind::Regular) return fail_os(EINVAL);
  if (destination_info.device == source_info.device && destination_info.inode == source_info.inode) {
    return fail_os(EINVAL);
  }
  QV_TRY(platform::truncate_fd(out.get(), 0));
  QV_TRY(platform::copy_contents(in.get(), out.get()));
  // A copied program must still run, so the copy takes the source's bits.
  QV_TRY(platform::set_mode(out.get(), source_info.mode));
  QV_TRY(platform::flush_fd(out.get()));
  QV_TRY(platform::close_fd(out.release()));
  return platform::flush_directory(parent);
}

Status probe_targets(const std::vector<fs::path>& targets) {
  // Held until every target passed: a second name for a file already held
  // then fails like any other opener.
  std::vector<platform::UniqueFd> held;
  held.reserve(targets.size());
  for (const auto& target : targets) {
    QV_TRY(check_write_target(target));
    QV_TRY(reject_reparse_points(target));
    const auto info = platform::stat_path(target);
    if (!info) continue;  // not there yet: nothing to replace
    if (info->kind != platform::FileKind::Regular) {
      return fail(fmt::format(fmt::runtime(kNotAFile), target.string()));
    }
    // A running program refuses this open (ETXTBSY).
    auto fd = platform::open_fd(target, O_RDWR | O_NOFOLLOW);
    if (!fd) return locked_or_not_writable(target, fd.error());
    const auto folder = QV_TRY(parent_of(target));
    if (auto writable = platform::check_folder_writable(folder); !writable) {
      return locked_or_not_writable(target, writable.error());
    }
    if (auto alone = platform::probe_sole_opener(fd->get()); !alone) {
      return locked_or_not_writable(target, alone.error());
    }
    held.push_back(std::move(*fd));
  }
  return {};
}

Result<fs::path> check_transaction_dir(const fs::path& root, const fs::path& folder) {
  const auto canonical_root = QV_TRY(resolve_write_root(root));
  const auto transactions = QV_TRY(join_checked(canonical_root, kTransactionsDir));
  const auto canonical_folder = QV_TRY(platform::canonicalize(folder));
  const auto canonical_transactions = QV_TRY(platform::canonicalize(transactions));
  if (!canonical_folder.has_relative_path() || canonical_folder.parent_path() != canonical_transactions) {
    return fail(std::string(kScopeViolation));
  }
  if (!is_hex_id(canonical_folder.filename().string())) return fail(std::string(kTransactionId));
  // A file named like a transaction is not one, and must not be removed as one.
  if (QV_TRY(platform::lstat_path(canonical_folder)).kind != platform::FileKind::Directory) return fail_os(ENOTDIR);
  QV_TRY(platform::walk_tree_no_follow(canonical_folder, [](const fs::path& path, platform::FileKind kind) -> Status {
    if (kind == platform::FileKind::Symlink) return fail(fmt::format(fmt::runtime(kReparsePoint), path.string()));
    return {};
  }));
  return canonical_folder;
}

Status cleanup_transaction(const fs::path& root, const fs::path& folder) {
  const auto canonical_folder = QV_TRY(check_transaction_dir(root, folder));
  const std::string id = canonical_folder.filename().string();
  const auto marker =
      QV_TRY(join_checked(root, fmt::format("{}/{}{}", kCleanupPendingDir, id, kMarkerSuffix)));
  QV_TRY(write_file_atomic(marker, kMarkerBytes));
  QV_TRY(platform::remove_tree_no_follow(canonical_folder));
  return platform::remove_file(marker);
}

Result<std::vector<std::string>> process_cleanup_pending(const fs::path& root) {
  const auto marker_dir = QV_TRY(join_checked(root, kCleanupPendingDir));
  std::vector<std::string> failures;
  if (!platform::stat_path(marker_dir)) return failures;
  const auto names = QV_TRY(platform::list_directory(marker_dir));
  for (const auto& name : names) {
    if (!is_marker_name(name)) continue;
    const std::string id = name.substr(0, name.size() - kMarkerSuffix.size());
    const auto marker = marker_dir / name;
    QV_TRY(reject_reparse_points(marker));
    const auto transaction = QV_TRY(join_checked(root, fmt::format("{}/{}", kTransactionsDir, id)));
    const Status finished = platform::stat_path(transaction) ? cleanup_transaction(root, transaction)
                                                            : platform::remove_file(marker);
    if (!finished) failures.push_back(fmt::format(fmt::runtime(kCleanupPending), id, finished.error().to_string()));
  }
  return failures;
}

}  // namespace qv
