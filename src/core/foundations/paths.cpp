#include "core/foundations/paths.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <optional>

#include <fmt/format.h>

#include "core/foundations/unicode.hpp"
#include "platform/fs.hpp"
#include "platform/random.hpp"
#include "platform/sequential_read.hpp"

namespace qv {
namespace {

constexpr std::size_t kMaxRelativePathBytes = 19999;

bool is_reserved_device_stem(std::string_view component) {
  std::string_view stem = component.substr(0, component.find('.'));
  if (stem.empty()) return false;
  const std::string upper = to_upper_ascii(stem);
  static constexpr std::array<std::string_view, 7> kNames = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$", "CLOCK$"};
  for (auto name : kNames) {
    if (upper == name) return true;
  }
  // COM and LPT followed by exactly one of 1-9 or the superscripts one to three
  // (four characters; a superscript is two bytes in UTF-8).
  if (upper.size() < 4 || (upper.compare(0, 3, "COM") != 0 && upper.compare(0, 3, "LPT") != 0)) return false;
  std::string_view tail = std::string_view(upper).substr(3);
  if (tail.size() == 1) return tail[0] >= '1' && tail[0] <= '9';
  return tail == "\xC2\xB9" || tail == "\xC2\xB2" || tail == "\xC2\xB3";
}

Status validate_component(std::string_view component) {
  if (component.empty() || component == "." || component == ".." || component.back() == ' ' ||
      component.back() == '.') {
    return fail(fmt::format("invalid component: {}", component));
  }
  for (unsigned char c : component) {
    if (c < 0x20 || c == '"' || c == '<' || c == '>' || c == ':' || c == '|' || c == '?' || c == '*') {
      return fail(fmt::format("invalid component: {}", component));
    }
  }
  if (is_reserved_device_stem(component)) return fail("reserved Windows name");
  return {};
}

// Whether `path`, once lower-cased as `equal` compares, names one of the
// launcher's own files.
template <class Equal>
bool names_launcher_file(std::string_view path, Equal equal) {
  return equal(path, ".launcher") || equal(path.substr(0, 10), ".launcher/") || equal(path, "launcherupdater.exe") ||
         equal(path, "launcher.json") || equal(path, "launcher.exe") || equal(path, "builder.json");
}

// The reserved-path rule compares fully lower-cased texts. Full lower-casing
// of ASCII text folds A-Z and nothing else, so an ASCII path is decided
// without the case-mapping library or a copy: a check asks this for every
// file of the client.
bool is_reserved_launcher_path(std::string_view path) {
  const bool ascii = std::all_of(path.begin(), path.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (ascii) return names_launcher_file(path, equals_ignoring_ascii_case);
  return names_launcher_file(to_lower_full(path), [](std::string_view a, std::string_view b) { return a == b; });
}

bool is_protected_name(std::string_view component) {
  const std::string lower = to_lower_full(component);
  return lower == "qvonline pristine" || lower == "qvonline variant";
}

// Walks the prefixes of `path` from the first: a link is refused on every
// one; from the component numbered `own_from` on (0 is the first), a mount
// point of the prefix before it is refused too. A missing prefix ends the
// walk, since every longer one is missing as well.
Status check_prefixes(const fs::path& path, std::size_t own_from) {
  fs::path prefix;
  std::optional<platform::FileInfo> previous;
  std::size_t index = 0;
  for (const auto& part : path) {
    if (part.empty()) continue;  // a trailing separator
    prefix /= part;
    auto info = platform::lstat_path(prefix);
    if (!info) {
      if (info.error().is_not_found()) return {};
      return fail(info.error());
    }
    const bool crossing = index >= own_from && previous && platform::is_mount_point(*info, *previous);
    if (info->kind == platform::FileKind::Symlink || crossing) {
      return reparse_point_rejected(prefix);
    }
    previous = *info;
    ++index;
  }
  return {};
}

std::size_t component_count(const fs::path& path) {
  std::size_t count = 0;
  for (const auto& part : path) count += part.empty() ? 0 : 1;
  return count;
}

}  // namespace

Status validate_relative_path(std::string_view path) {
  if (path.empty() || path.size() > kMaxRelativePathBytes || path.front() == '/' ||
      path.find('\\') != std::string_view::npos) {
    return fail(fmt::format("invalid relative path: {}", path));
  }
  std::size_t start = 0;
  for (;;) {
    std::size_t slash = path.find('/', start);
    std::string_view component = path.substr(start, slash == std::string_view::npos ? path.npos : slash - start);
    QV_TRY(validate_component(component));
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  return {};
}

Status check_reserved_path(std::string_view path) {
  QV_TRY(validate_relative_path(path));
  if (is_reserved_launcher_path(path)) return fail("reserved launcher path");
  return {};
}

std::unexpected<Error> reparse_point_rejected(const fs::path& path) {
  return fail(fmt::format("reparse point rejected: {}", path.string()));
}

Result<fs::path> join_checked(const fs::path& root, std::string_view relative) {
  QV_TRY(validate_relative_path(relative));
  // The separator is already "/" on this platform, so the text joins as it is.
  fs::path joined = root / fs::path(std::string(relative));
  QV_TRY(check_prefixes(joined, component_count(root)));
  return joined;
}

Status reject_reparse_points(const fs::path& path) {
  return check_prefixes(path, std::numeric_limits<std::size_t>::max());
}

bool has_protected_component(const fs::path& path) {
  for (const auto& part : path) {
    if (is_protected_name(part.string())) return true;
  }
  return false;
}

Result<fs::path> resolve_write_root(const fs::path& root) {
  QV_TRY(reject_reparse_points(root));
  fs::path canonical = QV_TRY(platform::canonicalize(root));
  if (has_protected_component(canonical)) {
    return fail("immutable original/comparison client cannot be a write target");
  }
  return canonical;
}

bool path_within(const fs::path& path, const fs::path& base) {
  auto p = path.begin();
  for (auto b = base.begin(); b != base.end(); ++b) {
    if (b->empty()) continue;  // trailing separator of the base
    if (p == path.end() || *p != *b) return false;
    ++p;
  }
  return true;
}

Result<fs::path> resolve_physical_path(const fs::path& root, std::string_view relative) {
  QV_TRY(check_reserved_path(relative));
  fs::path joined = QV_TRY(join_checked(root, relative));
  fs::path canonical_root = QV_TRY(platform::canonicalize(root));

  fs::path ancestor = joined;
  for (;;) {
    if (platform::stat_path(ancestor)) break;
    if (!ancestor.has_relative_path()) return fail("missing path ancestor");
    fs::path parent = ancestor.parent_path();
    if (parent == ancestor) return fail("missing path ancestor");
    ancestor = std::move(parent);
  }
  fs::path canonical_ancestor = QV_TRY(platform::canonicalize(ancestor));
  if (!path_within(canonical_ancestor, canonical_root)) return fail("physical path escaped client");

  std::string remainder = canonical_ancestor.lexically_relative(canonical_root).generic_string();
  if (remainder == ".") remainder.clear();
  if (!remainder.empty()) QV_TRY(check_reserved_path(remainder));
  return joined;
}

PhysicalPathCache::PhysicalPathCache(fs::path root) : root_(std::move(root)) {
  if (!reject_reparse_points(root_)) return;
  auto canonical = platform::canonicalize(root_);
  if (!canonical || *canonical != root_) return;
  auto info = platform::lstat_path(root_);
  if (!info) return;
  root_info_ = *info;
  // Without the handle every path takes the uncached way, with its answers.
  if (auto fd = platform::open_lookup_folder(root_)) root_fd_ = std::move(*fd);
}

const char* PhysicalPathCache::below_root(std::string_view relative) {
  text_.assign(relative);
  return text_.c_str();
}

Result<fs::path> PhysicalPathCache::resolve(std::string_view relative) {
  QV_TRY(examine(relative));
  return root_ / fs::path(std::string(relative));
}

Result<std::optional<platform::FileInfo>> PhysicalPathCache::examine(std::string_view relative) {
  using Found = std::optional<platform::FileInfo>;
  if (!root_fd_) {
    const fs::path joined = QV_TRY(resolve_physical_path(root_, relative));
    auto info = platform::lstat_path(joined);
    if (!info) return Found();  // resolve_physical_path read it just now; gone since
    return Found(*info);
  }
  QV_TRY(check_reserved_path(relative));
  // The nearest existing ancestor must not be a reserved path either.
  const auto nothing_below = [&](std::size_t existing_end) -> Result<Found> {
    if (existing_end != 0) QV_TRY(check_reserved_path(relative.substr(0, existing_end)));
    return Found();
  };
  const auto refused = [&](std::string_view prefix) {
    return reparse_point_rejected(root_ / fs::path(std::string(prefix)));
  };
  std::size_t existing_end = 0;  // length of the longest prefix known to exist
  for (std::size_t slash = relative.find('/'); slash != std::string_view::npos; slash = relative.find('/', slash + 1)) {
    const std::string_view folder = relative.substr(0, slash);
    if (checked_.contains(folder)) {
      existing_end = slash;
      continue;
    }
    auto info = platform::lstat_at(root_fd_.get(), std::string(folder));
    if (!info) {
      if (info.error().is_not_found()) return nothing_below(existing_end);  // nothing further down exists
      return fail(info.error());
    }
    // Every folder checked lies on the root's own file system, so each one
    // is compared with the root rather than with the folder above it.
    if (info->kind == platform::FileKind::Symlink || platform::is_mount_point(*info, root_info_)) return refused(folder);
    checked_.emplace(folder);
    existing_end = slash;
  }
  below_root(relative);
  auto info = platform::lstat_at(root_fd_.get(), text_);
  if (!info) {
    if (!info.error().is_not_found()) return fail(info.error());
    return nothing_below(existing_end);
  }
  if (info->kind == platform::FileKind::Symlink || platform::is_mount_point(*info, root_info_)) return refused(relative);
  return Found(*info);
}

Result<platform::UniqueFd> PhysicalPathCache::open_for_reading(std::string_view relative) {
  if (!root_fd_) return platform::open_for_read_no_follow(root_ / fs::path(std::string(relative)));
  return platform::open_below_for_reading(root_fd_.get(), below_root(relative));
}

std::string random_hex_id() {
  unsigned char bytes[16];
  platform::random_bytes(bytes, sizeof bytes);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(32);
  for (unsigned char b : bytes) {
    out += kHex[b >> 4];
    out += kHex[b & 0xF];
  }
  return out;
}

bool is_hex_id(std::string_view text) {
  if (text.size() != 32) return false;
  for (char c : text) {
    bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (!hex) return false;
  }
  return true;
}

}  // namespace qv
