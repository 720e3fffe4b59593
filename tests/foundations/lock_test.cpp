#include "core/foundations/lock.hpp"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "support/child_process.hpp"
#include "support/temp_dir.hpp"

namespace qv {
namespace {

namespace fs = std::filesystem;
using test::TempDir;
using test::write_file;

const std::string kHeldText =
    "another launcher is using this client or the lock is not writable: Resource temporarily unavailable (os error 11)";

std::string outcome(const Result<ClientLock>& r) { return r ? "locked" : r.error().to_string(); }

// Takes the lock, says so, and holds it until the file `args[1]` appears.
QV_CHILD_MODE(hold_lock) {
  auto lock = acquire_client_lock(args.at(0));
  if (!lock) {
    test::child_say(lock.error().to_string());
    return 1;
  }
  test::child_say("locked");
  while (!fs::exists(args.at(1))) ::usleep(5000);
  release_client_lock(std::move(*lock));
  return 0;
}

// Takes the lock, starts a long-running program, says its pid, then waits to
// be killed.
QV_CHILD_MODE(hold_lock_and_start_program) {
  auto lock = acquire_client_lock(args.at(0));
  if (!lock) return 1;
  auto program = test::Child::start({"sleep", "60"});
  test::child_say(fmt::format("started {}", program.detach()));
  ::pause();
  return 0;
}

QV_CHILD_MODE(try_lock) {
  test::child_say(outcome(acquire_client_lock(args.at(0))));
  return 0;
}

TEST(ClientLock, ExcludesASecondAcquireAndRemovesTheFileOnRelease) {
  TempDir dir;
  const auto lock_file = dir / ".launcher/client.lock";
  {
    auto first = acquire_client_lock(dir.path());
    ASSERT_TRUE(first) << first.error().to_string();
    EXPECT_EQ(first->path(), lock_file);
    EXPECT_TRUE(fs::exists(lock_file));
    EXPECT_EQ(outcome(acquire_client_lock(dir.path())), kHeldText);
    // A refused attempt leaves the holder's file alone.
    EXPECT_TRUE(fs::exists(lock_file));
    ClientLock moved = std::move(*first);
    EXPECT_EQ(outcome(acquire_client_lock(dir.path())), kHeldText);
  }
  EXPECT_FALSE(fs::exists(lock_file));
  auto again = acquire_client_lock(dir.path());
  ASSERT_TRUE(again);
  release_client_lock(std::move(*again));
  EXPECT_FALSE(fs::exists(lock_file));
  release_lock_or_error(acquire_client_lock(dir.path()));
  EXPECT_FALSE(fs::exists(lock_file));
  EXPECT_EQ(outcome(acquire_client_lock(dir.path())), "locked");
}

TEST(ClientLock, ReleaseLeavesAFileThatIsNotItsOwn) {
  // Someone removes the lock file under a holder and a second launcher locks
  // a new one: the first holder's release must not remove the second's file.
  TempDir dir;
  const auto lock_file = dir / ".launcher/client.lock";
  auto first = acquire_client_lock(dir.path());
  ASSERT_TRUE(first);
  fs::remove(lock_file);
  auto second = acquire_client_lock(dir.path());
  ASSERT_TRUE(second) << second.error().to_string();
  release_client_lock(std::move(*first));
  EXPECT_TRUE(fs::exists(lock_file));
  EXPECT_EQ(outcome(acquire_client_lock(dir.path())), kHeldText);
  release_client_lock(std::move(*second));
  EXPECT_FALSE(fs::exists(lock_file));
}

TEST(ClientLock, TwoProcessesExcludeEachOther) {
  TempDir dir;
  auto holder = test::Child::start_self("hold_lock", {dir.path().string(), (dir / "release").string()});
  ASSERT_TRUE(holder.wait_for_line("locked"));
  EXPECT_EQ(outcome(acquire_client_lock(dir.path())), kHeldText);
  const auto other = test::run_self("try_lock", {dir.path().string()});
  EXPECT_NE(other.output.find(kHeldText + "\n"), std::string::npos) << other.output;
  EXPECT_TRUE(fs::exists(dir / ".launcher/client.lock"));

  write_file(dir / "release", "");
  EXPECT_EQ(holder.wait().exit_code, 0);
  EXPECT_FALSE(fs::exists(dir / ".launcher/client.lock"));
  EXPECT_EQ(outcome(acquire_client_lock(dir.path())), "locked");
}

TEST(ClientLock, KilledHolderFreesTheLockAtOnce) {
  TempDir dir;
  auto holder = test::Child::start_self("hold_lock", {dir.path().string(), (dir / "never").string()});
  ASSERT_TRUE(holder.wait_for_line("locked"));
  holder.kill(SIGKILL);
  EXPECT_EQ(holder.wait().signal, SIGKILL);
  // The file stays behind, but nobody holds it.
  EXPECT_TRUE(fs::exists(dir / ".launcher/client.lock"));
  auto lock = acquire_client_lock(dir.path());
  ASSERT_TRUE(lock) << lock.error().to_string();
}

TEST(ClientLock, ProgramStartedByTheHolderDoesNotKeepTheLock) {
  TempDir dir;
  auto holder = test::Child::start_self("hold_lock_and_start_program", {dir.path().string()});
  const auto line = holder.read_line();
  ASSERT_TRUE(line && line->starts_with("started ")) << line.value_or("(no line)");
  const pid_t program = std::stoi(line->substr(8));
  holder.kill(SIGKILL);
  holder.wait();
  ASSERT_EQ(::kill(program, 0), 0) << "the started program should still run";
  EXPECT_EQ(outcome(acquire_client_lock(dir.path())), "locked");
  ::kill(program, SIGKILL);
}

TEST(ClientLock, UnusableLockLocationsFail) {
  struct Case {
    const char* blocker;  // a file or folder that stands in the way
    bool as_folder;
    std::string expected;
  };
  const Case cases[] = {
      {".launcher", false, "Not a directory (os error 20)"},
      {".launcher/client.lock/x", true,
       "another launcher is using this client or the lock is not writable: Is a directory (os error 21)"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    if (c.as_folder) {
      fs::create_directories(dir / c.blocker);
    } else {
      write_file(dir / c.blocker, "");
    }
    EXPECT_EQ(outcome(acquire_client_lock(dir.path())), c.expected) << c.blocker;
  }
  TempDir dir;
  fs::create_directories(dir / "QVonline Variant/client");
  EXPECT_EQ(outcome(acquire_client_lock(dir / "QVonline Variant/client")),
            "immutable original/comparison client cannot be a write target");
  EXPECT_FALSE(fs::exists(dir / "QVonline Variant/client/.launcher"));
}

// Many threads taking and giving back the lock as fast as they can: a
// releaser removes the file while another thread has it open, so a lock on
// the orphaned file must never count as holding the lock.
TEST(ClientLock, NeverTwoHoldersUnderContention) {
  TempDir dir;
  std::atomic<int> holders{0};
  std::atomic<int> overlaps{0};
  std::atomic<int> acquired{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 300; ++i) {
        auto lock = acquire_client_lock(dir.path());
        if (!lock) continue;
        ++acquired;
        if (holders.fetch_add(1) != 0) ++overlaps;
        std::this_thread::yield();
        holders.fetch_sub(1);
        release_client_lock(std::move(*lock));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_GT(acquired.load(), 0);
  EXPECT_FALSE(fs::exists(dir / ".launcher/client.lock"));
}

}  // namespace
}  // namespace qv
