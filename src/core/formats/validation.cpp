#include "core/formats/validation.hpp"

#include <set>
#include <string>
#include <string_view>

#include "core/foundations/paths.hpp"
#include "core/foundations/unicode.hpp"
#include "core/foundations/url.hpp"
#include "core/formats/pack.hpp"

namespace qv {
namespace {

constexpr std::size_t kMaxEntries = 100000;
constexpr std::uint64_t kMaxFileBytes = std::uint64_t{1} << 34;    // 16 GiB
constexpr std::uint64_t kMaxObjectBytes = std::uint64_t{1} << 35;  // 32 GiB

bool is_hex_text(std::string_view text, std::size_t length) {
  if (text.size() != length) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

std::size_t digest_length(HashAlgorithm algorithm) {
  switch (algorithm) {
    case HashAlgorithm::Xxh64:
    case HashAlgorithm::Xxh3_64: return 16;
    case HashAlgorithm::Xxh3_128: return 32;
    case HashAlgorithm::Blake3:
    case HashAlgorithm::Sha256: return 64;
    case HashAlgorithm::Read: break;
  }
  return 0;
}

Status check_link(const std::string& link) {
  if (link.empty()) return {};
  Url url = QV_TRY(parse_url(link));
  // An empty password after ":" is no password (the fetched-URL policy is
  // stricter and refuses even that).
  if (url.scheme != "https" || !url.username.empty() || (url.password && !url.password->empty())) {
    return fail("HTTPS URL required");
  }
  return {};
}

}  // namespace

Status validate_manifest(const Manifest& manifest) {
  if (manifest.format != 1 || manifest.release == 0) return fail("unsupported manifest/version");
  if (manifest.zstd_level < 1 || manifest.zstd_level > 22 || manifest.decoder_window_log > 27) {
    return fail("unsupported compression/window");
  }
  if (manifest.files.size() > kMaxEntries || manifest.delete_.size() > kMaxEntries) return fail("manifest limit");

  std::set<std::string> file_paths;
  for (const FileEntry& entry : manifest.files) {
    QV_TRY(check_reserved_path(entry.path));
    if (entry.algorithm == HashAlgorithm::Read) return fail("read baseline is not a hash");
    if (!is_hex_text(entry.digest, digest_length(entry.algorithm))) return fail("hash encoding");
    if (entry.bytes > kMaxFileBytes || entry.object_bytes > kMaxObjectBytes) return fail("file size limit");
    if (!is_hex_text(entry.object_sha256, 64)) return fail("object SHA256");
    QV_TRY(check_object_name(entry.object));
    if (!file_paths.insert(to_lower_full(entry.path)).second) return fail("case-insensitive duplicate");
  }

  // A file may not also be a folder of another file.
  for (const std::string& path : file_paths) {
    for (std::size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1)) {
      if (file_paths.contains(path.substr(0, slash))) return fail("file/directory collision");
    }
  }

  std::set<std::string> delete_paths;
  for (const std::string& entry : manifest.delete_) {
    QV_TRY(check_reserved_path(entry));
    std::string lower = to_lower_full(entry);
    if (file_paths.contains(lower)) return fail("delete collision");
    if (!delete_paths.insert(std::move(lower)).second) return fail("delete collision");
  }

  QV_TRY(check_reserved_path(manifest.game_exe));
  bool managed = false;
  for (const FileEntry& entry : manifest.files) {
    if (equals_ignoring_ascii_case(entry.path, manifest.game_exe)) {
      managed = true;
      break;
    }
  }
  if (!managed) return fail("game executable must be managed");

  QV_TRY(check_link(manifest.links.register_));
  QV_TRY(check_link(manifest.links.topup));
  QV_TRY(check_link(manifest.links.discord));
  return {};
}

}  // namespace qv
