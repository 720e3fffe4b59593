#include "core/foundations/lock.hpp"

#include "core/foundations/paths.hpp"
#include "platform/durable.hpp"
#include "platform/fs.hpp"

namespace qv {
namespace {

constexpr std::string_view kHeldOrNotWritable = "another launcher is using this client or the lock is not writable";
constexpr std::string_view kLockRefused = "another launcher is using this client";
constexpr std::string_view kLockPath = ".launcher/client.lock";
constexpr std::string_view kLauncherDir = ".launcher";

// A holder removes the file between our open and our lock at most once per
// launch of another launcher; far more rounds than that means something keeps
// replacing the file, and the caller is told the lock is held.
constexpr int kMaxRounds = 64;

bool same_file(const platform::FileInfo& a, const platform::FileInfo& b) {
  return a.device == b.device && a.inode == b.inode;
}

// True when the locked descriptor is still the file named by `path`: a holder
// that released between our open and our lock removed (and a third launcher
// may have recreated) the file, and a lock on the orphan would exclude nobody.
bool still_at_path(int fd, const std::filesystem::path& path) {
  const auto held = platform::stat_fd(fd);
  const auto named = platform::lstat_path(path);
  return held && named && same_file(*held, *named);
}

}  // namespace

ClientLock::ClientLock(platform::UniqueFd fd, std::filesystem::path path) : fd_(std::move(fd)), path_(std::move(path)) {}

ClientLock& ClientLock::operator=(ClientLock&& other) noexcept {
  if (this != &other) {
    release();
    fd_ = std::move(other.fd_);
    path_ = std::move(other.path_);
  }
  return *this;
}

ClientLock::~ClientLock() { release(); }

void ClientLock::release() noexcept {
  if (!fd_) return;
  // Removed while still locked: whoever opens the path afterwards gets a new
  // file, and one that opened the old file already fails its check after
  // locking and starts over.
  // Only our own file: if the name was removed behind our back and another
  // launcher locked a new file under it, that file is theirs.
  const auto held = platform::stat_fd(fd_.get());
  const auto named = platform::lstat_path(path_);
  if (held && named && same_file(*held, *named)) (void)platform::remove_file(path_);
  (void)platform::unlock_whole_file(fd_.get());
  fd_.reset();
}

Result<ClientLock> acquire_client_lock(const std::filesystem::path& root) {
  const auto canonical_root = QV_TRY(resolve_write_root(root));
  const auto lock_path = QV_TRY(join_checked(canonical_root, kLockPath));
  QV_TRY(platform::make_directories(canonical_root / kLauncherDir));
  for (int round = 0; round < kMaxRounds; ++round) {
    auto fd = platform::open_or_create_lock_file(lock_path);
    if (!fd) return fail(fd.error().context(std::string(kHeldOrNotWritable)));
    if (auto locked = platform::lock_whole_file(fd->get(), /*wait=*/false); !locked) {
      // Refused: closed without removing, the file belongs to its holder.
      const bool held_elsewhere = platform::is_lock_held_elsewhere(locked.error());
      return fail(locked.error().context(std::string(held_elsewhere ? kHeldOrNotWritable : kLockRefused)));
    }
    if (still_at_path(fd->get(), lock_path)) return ClientLock(std::move(*fd), lock_path);
    // An orphan: unlocking by closing, never removing what the path now names.
  }
  return fail(platform::lock_held_elsewhere_error().context(std::string(kHeldOrNotWritable)));
}

void release_client_lock(ClientLock lock) { lock.release(); }

void release_lock_or_error(Result<ClientLock> result) {
  if (result) release_client_lock(std::move(*result));
}

}  // namespace qv
