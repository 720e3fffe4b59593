#include "core/install/installed_index.hpp"

#include <algorithm>
#include <functional>

#include "core/foundations/unicode.hpp"
#include "platform/ascii.hpp"

namespace qv {
namespace {

bool is_ascii(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

}  // namespace

void lower_key(std::string_view path, std::string& out) {
  if (!is_ascii(path)) {
    out = to_lower_full(path);
    return;
  }
  out.assign(path);
  for (char& c : out) c = platform::ascii_lower(c);
}

InstalledIndex::InstalledIndex(const std::optional<Manifest>& installed) {
  if (!installed || installed->files.empty()) return;
  files_ = &installed->files;
  std::size_t size = 16;
  while (size < 2 * files_->size()) size *= 2;
  slots_.assign(size, Slot{});
  std::string key;
  std::string scratch;
  for (std::size_t i = 0; i < files_->size(); ++i) {
    lower_key((*files_)[i].path, key);
    const std::size_t hash = std::hash<std::string_view>{}(key);
    std::size_t at = hash & (slots_.size() - 1);
    for (; slots_[at].entry != 0; at = (at + 1) & (slots_.size() - 1)) {
      if (matches(slots_[at], hash, key, scratch)) break;
    }
    if (slots_[at].entry == 0) slots_[at] = Slot{static_cast<std::uint32_t>(hash), static_cast<std::uint32_t>(i + 1)};
  }
}

const FileEntry* InstalledIndex::find(std::string_view key, std::string& scratch) const {
  if (empty()) return nullptr;
  const std::size_t hash = std::hash<std::string_view>{}(key);
  for (std::size_t at = hash & (slots_.size() - 1); slots_[at].entry != 0; at = (at + 1) & (slots_.size() - 1)) {
    if (matches(slots_[at], hash, key, scratch)) return &(*files_)[slots_[at].entry - 1];
  }
  return nullptr;
}

bool InstalledIndex::matches(const Slot& slot, std::size_t hash, std::string_view key, std::string& scratch) const {
  if (slot.hash != static_cast<std::uint32_t>(hash)) return false;
  lower_key((*files_)[slot.entry - 1].path, scratch);
  return scratch == key;
}

}  // namespace qv
