// Object names, stored-object verification and the install of one client file
// from its object.
#include "core/formats/pack.hpp"

#include <fcntl.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/foundations/fileops.hpp"
#include "core/foundations/hashing.hpp"
#include "core/foundations/paths.hpp"
#include "platform/durable.hpp"
#include "platform/fs.hpp"
#include "platform/sequential_read.hpp"

namespace qv {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kNamePrefix = "objects/";
constexpr std::string_view kNameSuffix = ".qvp";
constexpr std::size_t kNameHexDigits = 32;

bool is_ascii_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// The folder that will hold the target, taking a relative target below the
// current folder; the root of the file system has none.
Result<fs::path> target_parent(const fs::path& target) {
  fs::path absolute = target;
  if (!absolute.is_absolute()) absolute = QV_TRY(platform::current_dir()) / target;
  if (absolute.relative_path().empty()) return fail(std::string(pack::text::kNoParent));
  return absolute.parent_path();
}

std::unexpected<Error> file_hash_mismatch(const FileEntry& entry) {
  return fail(std::string(pack::text::kFileHashMismatch) + entry.path);
}

// Decrypts, decompresses, measures, hashes and writes the whole object into
// `target_fd`. Owns the decoder, so the object file is closed and the key
// wiped when this returns, whatever the outcome.
Status fill_target(platform::UniqueFd object_fd, int target_fd, const FileEntry& entry, std::uint32_t window_log_cap,
                   const InstallWriteCallback& on_write) {
  auto reader = QV_TRY(read_object_header(std::move(object_fd), entry.key, entry.nonce));
  auto decoder = QV_TRY(open_object_decoder(std::move(reader)));
  QV_TRY(decoder.set_max_window_log(window_log_cap == 0 ? 0 : std::min(window_log_cap, pack::kMaxWindowLog)));

  std::vector<std::byte> chunk(pack::kInstallChunkBytes);
  ContentHasher hasher = content_hasher_new(entry.algorithm);
  std::uint64_t total = 0;
  for (;;) {
    const std::size_t n = QV_TRY(read_object_data(decoder, chunk));
    if (n == 0) break;
    if (__builtin_add_overflow(total, static_cast<std::uint64_t>(n), &total)) {
      return fail(std::string(pack::text::kOverflow));
    }
    // Refused before a byte of it is hashed or written, so the target never
    // holds more than the signed size.
    if (total > entry.bytes) return fail(std::string(pack::text::kSizeExceeded));
    const std::span<const std::byte> bytes(chunk.data(), n);
    content_hasher_update(hasher, bytes);
    QV_TRY(platform::write_all(target_fd, bytes.data(), bytes.size()));
    QV_TRY(on_write(total));
  }
  if (total != entry.bytes) return file_hash_mismatch(entry);
  if (content_hasher_finish(std::move(hasher)) != entry.digest) return file_hash_mismatch(entry);
  // The reader answers the end of data only after the final segment, so this
  // holds unless that rule is ever broken.
  if (!decoder.reader().final_seen()) return fail(std::string(pack::text::kMissingFinal));
  return {};
}

}  // namespace

Status check_object_name(std::string_view name) {
  const bool shape_ok = name.size() == kNamePrefix.size() + kNameHexDigits + kNameSuffix.size() &&
                        name.starts_with(kNamePrefix) && name.ends_with(kNameSuffix);
  if (shape_ok) {
    const auto digits = name.substr(kNamePrefix.size(), kNameHexDigits);
    if (std::all_of(digits.begin(), digits.end(), is_ascii_hex)) return {};
  }
  return fail(std::string(pack::text::kBadObjectName));
}

Status verify_object_file(const fs::path& object, const FileEntry& entry) {
  const auto info = QV_TRY(platform::stat_path(object));
  if (info.size != entry.object_bytes) return fail(std::string(pack::text::kObjectSizeMismatch));
  const auto digest = QV_TRY(hash_file(object, HashAlgorithm::Sha256));
  if (digest != entry.object_sha256) return fail(std::string(pack::text::kCiphertextHashMismatch));
  return {};
}

Status install_object(const fs::path& object, const fs::path& target, const FileEntry& entry,
                      std::uint32_t window_log_cap, const InstallWriteCallback& on_write,
                      const InstallObjectOptions& options) {
  QV_TRY(verify_object_file(object, entry));
  QV_TRY(check_write_target(target));
  QV_TRY(reject_reparse_points(target));
  const auto parent = QV_TRY(target_parent(target));
  QV_TRY(platform::make_directories(parent));

  // O_EXCL with O_NOFOLLOW: whatever already sits at the target, a file or a
  // link, makes the creation fail, so an existing file is never opened.
  auto target_fd = QV_TRY(platform::open_fd(target, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, options.mode & 07777));
  auto object_fd = QV_TRY(platform::open_sequential_read(object));
  QV_TRY(fill_target(std::move(object_fd), target_fd.get(), entry, window_log_cap, on_write));

  QV_TRY(platform::flush_fd(target_fd.get()));
  QV_TRY(platform::close_fd(target_fd.release()));
  // The file is new: its folder entry must reach the disk too, or a crash
  // after the install is recorded could lose the file.
  QV_TRY(platform::flush_directory(parent));
  return {};
}

}  // namespace qv
