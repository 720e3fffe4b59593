#include "core/install/sibling_objects.hpp"

#include <algorithm>
#include <limits>
#include <set>
#include <string>
#include <string_view>

#include "core/foundations/fileops.hpp"
#include "core/foundations/hashing.hpp"
#include "core/foundations/paths.hpp"
#include "core/install/transaction_state.hpp"
#include "platform/folder.hpp"
#include "platform/fs.hpp"

namespace qv {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kTransactionRoot = "transaction root";
constexpr std::string_view kDownloadsFolder = "downloads";

// The folder itself, spelled without a trailing separator, so that its parent
// and its comparison with listed entries mean what they say.
fs::path folder_spelling(const fs::path& folder) {
  fs::path normal = folder.lexically_normal();
  if (!normal.has_filename() && normal.has_relative_path()) normal = normal.parent_path();
  return normal;
}

struct Candidate {
  const SiblingFolder* folder;
  fs::path path;
  std::uint64_t size;
};

// What the siblings hold of the entry's object that could help, in the order
// to try them: the longest first (a complete one before any part), a folder
// it can be moved out of before one it must be copied from, else in listing
// order.
Result<std::vector<Candidate>> candidates_for(std::span<const SiblingFolder> siblings, const FileEntry& entry) {
  std::vector<Candidate> candidates;
  for (const SiblingFolder& sibling : siblings) {
    fs::path path = QV_TRY(join_checked(sibling.path / kDownloadsFolder, entry.object));
    auto info = platform::lstat_path(path);
    if (!info) {
      if (info.error().is_not_found()) continue;
      return std::unexpected(info.error());
    }
    if (info->kind != platform::FileKind::Regular || info->size == 0 || info->size > entry.object_bytes) continue;
    candidates.push_back({&sibling, std::move(path), info->size});
  }
  std::ranges::stable_sort(candidates, [](const Candidate& a, const Candidate& b) {
    if (a.size != b.size) return a.size > b.size;
    return a.folder->settled && !b.folder->settled;
  });
  return candidates;
}

// A move where the file system allows one; a rename that is refused, for
// whatever reason (the folders lie on different file systems, say), leaves
// the file where it was, and it is copied instead.
Status move_or_copy(const fs::path& source, const fs::path& destination) {
  QV_TRY(platform::make_directories(destination.parent_path()));
  auto moved = replace_file(source, destination);
  if (moved) return {};
  // Gone from its place: the rename went through and only a flush failed.
  if (!platform::lstat_path(source)) return moved;
  return copy_durable(source, destination);
}

}  // namespace

Result<std::vector<SiblingFolder>> list_sibling_transactions(const fs::path& transaction_dir) {
  const fs::path own = folder_spelling(transaction_dir);
  const fs::path parent = own.parent_path();
  if (parent.empty() || parent == own) return fail(std::string(kTransactionRoot));
  const auto folder = QV_TRY(platform::open_folder(parent));
  const auto names = QV_TRY(folder.list());
  std::vector<SiblingFolder> siblings;
  for (const auto& name : names) {
    fs::path sibling = parent / name;
    if (sibling == own) continue;
    QV_TRY(reject_reparse_points(sibling));
    const bool settled = is_settled_transaction(sibling);
    siblings.push_back({std::move(sibling), settled});
  }
  return siblings;
}

Status take_object_from_siblings(std::span<const SiblingFolder> siblings, const FileEntry& entry,
                                 const fs::path& object_file) {
  for (const Candidate& candidate : QV_TRY(candidates_for(siblings, entry))) {
    if (candidate.size == entry.object_bytes) {
      const std::string digest = QV_TRY(hash_file(candidate.path, HashAlgorithm::Sha256));
      if (digest != entry.object_sha256) continue;
    }
    if (candidate.folder->settled) return move_or_copy(candidate.path, object_file);
    return copy_durable(candidate.path, object_file);
  }
  return {};
}

Result<std::uint64_t> object_bytes_to_write(const fs::path& transaction_dir, std::span<const SiblingFolder> siblings,
                                            const Manifest& manifest, std::span<const std::uint32_t> download) {
  std::set<std::string_view> counted;
  std::uint64_t total = 0;
  for (const std::uint32_t index : download) {
    const FileEntry& entry = manifest.files[index];
    if (!counted.insert(entry.object).second) continue;
    std::uint64_t kept = 0;
    const fs::path own = QV_TRY(join_checked(transaction_dir / kDownloadsFolder, entry.object));
    if (auto info = platform::lstat_path(own)) {
      // Resumed where it is; one that cannot be is fetched anew.
      if (info->kind == platform::FileKind::Regular && info->size <= entry.object_bytes) kept = info->size;
    } else {
      const auto candidates = QV_TRY(candidates_for(siblings, entry));
      if (!candidates.empty() && candidates.front().folder->settled) kept = candidates.front().size;
    }
    const std::uint64_t rest = entry.object_bytes - kept;
    total = rest > std::numeric_limits<std::uint64_t>::max() - total ? std::numeric_limits<std::uint64_t>::max()
                                                                    : total + rest;
  }
  return total;
}

}  // namespace qv
