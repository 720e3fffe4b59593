#include "support/tree_snapshot.hpp"

#include <algorithm>
#include <stdexcept>

#include <fmt/format.h>

#include "core/foundations/hashing.hpp"

namespace qv::test {

namespace fs = std::filesystem;

std::string snapshot_file_entry(unsigned mode, std::string_view content) {
  return fmt::format("file {:o} {}", mode, hash_bytes_sha256(content).digest);
}

TreeSnapshot snapshot_tree(const fs::path& root, const SnapshotOptions& options) {
  TreeSnapshot out;
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(root, ec))) return out;
  fs::recursive_directory_iterator it(root, fs::directory_options::none, ec);
  if (ec) throw std::runtime_error("cannot walk " + root.string() + ": " + ec.message());
  for (; it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (ec) throw std::runtime_error("cannot walk " + root.string() + ": " + ec.message());
    const std::string relative = it->path().lexically_relative(root).generic_string();
    if (std::find(options.skip.begin(), options.skip.end(), relative) != options.skip.end()) {
      if (it->is_directory(ec) && !it->is_symlink(ec)) it.disable_recursion_pending();
      continue;
    }
    const auto status = it->symlink_status(ec);
    if (fs::is_symlink(status)) {
      out[relative] = "link " + fs::read_symlink(it->path(), ec).string();
    } else if (fs::is_directory(status)) {
      if (options.folders) out[relative] = "folder";
    } else if (fs::is_regular_file(status)) {
      auto digest = hash_file(it->path(), HashAlgorithm::Sha256);
      if (!digest) throw std::runtime_error("cannot hash " + it->path().string());
      out[relative] = fmt::format("file {:o} {}", static_cast<unsigned>(status.permissions()), *digest);
    } else {
      out[relative] = "other";
    }
  }
  return out;
}

}  // namespace qv::test
