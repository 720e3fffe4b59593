#include "core/install/case_variants.hpp"

#include <string_view>

#include "core/foundations/paths.hpp"
#include "core/install/installed_index.hpp"
#include "platform/fs.hpp"

namespace qv {

namespace fs = std::filesystem;

Result<std::vector<std::string>> installed_case_variants(const fs::path& root, const Manifest& manifest,
                                                         std::span<const std::uint32_t> download,
                                                         const std::optional<Manifest>& installed) {
  std::vector<std::string> variants;
  if (!installed || installed->files.empty() || download.empty()) return variants;
  const InstalledIndex spelled(installed);
  std::string key;
  std::string scratch;
  for (const std::uint32_t index : download) {
    const FileEntry& entry = manifest.files[index];
    lower_key(entry.path, key);
    const FileEntry* found = spelled.find(key, scratch);
    if (found == nullptr || found->path == entry.path) continue;
    const fs::path old_path = QV_TRY(resolve_physical_path(root, found->path));
    const auto old_file = platform::lstat_path(old_path);
    if (!old_file || old_file->kind != platform::FileKind::Regular) continue;
    const fs::path target = QV_TRY(resolve_physical_path(root, entry.path));
    if (const auto current = platform::lstat_path(target); current && current->same_file_as(*old_file)) continue;
    variants.emplace_back(found->path);
  }
  return variants;
}

}  // namespace qv
