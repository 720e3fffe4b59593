#include "support/mount_namespace.hpp"

#include <sched.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace qv::test {
namespace {

std::string os_error(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

}  // namespace

std::optional<std::string> enter_private_mount_namespace() {
  if (::unshare(CLONE_NEWNS) != 0) return os_error("unshare(CLONE_NEWNS)");
  // Without this, mounts made here could still travel back to the namespace
  // the child came from.
  if (::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return os_error("mount --make-rprivate /");
  return std::nullopt;
}

ScopedMount ScopedMount::tmpfs(const std::filesystem::path& target) {
  if (::mount("qv-test", target.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=4m") != 0) {
    return ScopedMount(target, os_error("mount tmpfs"));
  }
  ScopedMount made(target, {});
  made.mounted_ = true;
  return made;
}

ScopedMount ScopedMount::bind(const std::filesystem::path& source, const std::filesystem::path& target) {
  if (::mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) {
    return ScopedMount(target, os_error("mount --bind"));
  }
  ScopedMount made(target, {});
  made.mounted_ = true;
  return made;
}

ScopedMount::ScopedMount(ScopedMount&& other) noexcept
    : target_(std::move(other.target_)),
      error_(std::move(other.error_)),
      mounted_(std::exchange(other.mounted_, false)) {}

ScopedMount::~ScopedMount() {
  if (mounted_) ::umount2(target_.c_str(), MNT_DETACH);
}

}  // namespace qv::test
