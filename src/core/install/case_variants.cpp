#include "core/install/case_variants.hpp"

#include <functional>
#include <map>
#include <string_view>

#include "core/foundations/paths.hpp"
#include "core/foundations/unicode.hpp"
#include "platform/fs.hpp"

namespace qv {

namespace fs = std::filesystem;

Result<std::vector<std::string>> installed_case_variants(const fs::path& root, const Manifest& manifest,
                                                         std::span<const std::uint32_t> download,
                                                         const std::optional<Manifest>& installed) {
  std::vector<std::string> variants;
  if (!installed || installed->files.empty() || download.empty()) return variants;
  std::map<std::string, std::string_view, std::less<>> spelled;  // lower-cased path -> installed spelling
  for (const FileEntry& entry : installed->files) spelled.emplace(to_lower_full(entry.path), entry.path);
  for (const std::uint32_t index : download) {
    const FileEntry& entry = manifest.files[index];
    const auto found = spelled.find(to_lower_full(entry.path));
    if (found == spelled.end() || found->second == entry.path) continue;
    const fs::path old_path = QV_TRY(resolve_physical_path(root, found->second));
    const auto old_file = platform::lstat_path(old_path);
    if (!old_file || old_file->kind != platform::FileKind::Regular) continue;
    const fs::path target = QV_TRY(resolve_physical_path(root, entry.path));
    if (const auto current = platform::lstat_path(target); current && current->same_file_as(*old_file)) continue;
    variants.emplace_back(found->second);
  }
  return variants;
}

}  // namespace qv
