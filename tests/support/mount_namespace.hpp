// Mounts for tests that need a file system inside a client folder, made in a
// child process's own mount namespace: when the child ends, however it ends,
// its mounts end with it, and nothing of them is ever seen outside.
//
// Only a child may call these (they change the calling process for good);
// mounting needs privileges that a test machine may not grant, so a refusal
// is an answer to skip on, not a failure.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace qv::test {

// Moves this process into a mount namespace of its own whose mounts reach no
// other namespace. Returns why not, when the system refuses.
std::optional<std::string> enter_private_mount_namespace();

// A mount held for a scope: unmounted (lazily, so a descriptor still open
// below it cannot keep it) when the scope ends.
class ScopedMount {
 public:
  // A fresh tmpfs on the folder `target`.
  static ScopedMount tmpfs(const std::filesystem::path& target);
  // The folder or file `source` bound onto `target` (same kind).
  static ScopedMount bind(const std::filesystem::path& source, const std::filesystem::path& target);

  ScopedMount(ScopedMount&& other) noexcept;
  ScopedMount& operator=(ScopedMount&&) = delete;
  ScopedMount(const ScopedMount&) = delete;
  ~ScopedMount();

  // Whether the mount was made, and why not.
  explicit operator bool() const { return error_.empty(); }
  const std::string& error() const { return error_; }

 private:
  ScopedMount(std::filesystem::path target, std::string error) : target_(std::move(target)), error_(std::move(error)) {}
  std::filesystem::path target_;
  std::string error_;
  bool mounted_ = false;
};

}  // namespace qv::test
