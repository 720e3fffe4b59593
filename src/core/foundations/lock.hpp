// The client lock: one launcher at a time changes a client's files and state.
//
// The lock is an open-file-description write lock on `.launcher/client.lock`,
// taken without waiting. The file exists only while a lock is held: the holder
// removes it before unlocking, and a holder that dies leaves a file nobody
// holds, which the next launcher locks at once. The descriptor is
// close-on-exec, so a program started while the lock is held never keeps it.
#pragma once

#include <filesystem>

#include "platform/error.hpp"
#include "platform/fd.hpp"

namespace qv {

// Owns the locked descriptor of a client's lock file. Not copyable; moved to
// whoever holds the lock until the end of the locked operation. Destroying or
// releasing it removes the file, unlocks and closes. Any thread may release
// it.
class ClientLock {
 public:
  ClientLock(platform::UniqueFd fd, std::filesystem::path path);
  ClientLock(const ClientLock&) = delete;
  ClientLock& operator=(const ClientLock&) = delete;
  ClientLock(ClientLock&& other) noexcept = default;
  ClientLock& operator=(ClientLock&& other) noexcept;
  ~ClientLock();

  const std::filesystem::path& path() const { return path_; }

  // Removes the file, unlocks and closes; a second call does nothing.
  void release() noexcept;

 private:
  platform::UniqueFd fd_;
  std::filesystem::path path_;
};

// Takes the lock of the client at `root` without waiting. Fails with the
// errors of the root and path checks; with the operating-system error when
// `.launcher` cannot be created; with "another launcher is using this client
// or the lock is not writable" (cause: the system's error) when the lock file
// cannot be opened or another holder has it locked; and with "another
// launcher is using this client" (cause: the system's error) when locking
// fails for another reason. A refused attempt leaves the holder's file alone.
// Any thread may call it; a second acquire in the same process fails too.
Result<ClientLock> acquire_client_lock(const std::filesystem::path& root);

// Releases a held lock: removes the file, unlocks (a refusal is ignored) and
// closes. Cannot fail.
void release_client_lock(ClientLock lock);

// Disposes of the result of a probing acquire: an error is dropped, a lock is
// released as by `release_client_lock`.
void release_lock_or_error(Result<ClientLock> result);

}  // namespace qv
