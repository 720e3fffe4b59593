#include "core/foundations/fileops.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <set>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "core/foundations/paths.hpp"
#include "support/child_process.hpp"
#include "support/exchange_race.hpp"
#include "support/temp_dir.hpp"

namespace qv {
namespace {

namespace fs = std::filesystem;
using test::read_file;
using test::TempDir;
using test::write_file;

std::string outcome(const Status& s) { return s ? "ok" : s.error().to_string(); }

// Names in `folder`, sorted; nothing when it is missing.
std::set<std::string> names_in(const fs::path& folder) {
  std::set<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec)) names.insert(entry.path().filename().string());
  return names;
}

std::size_t open_descriptor_count() { return names_in("/proc/self/fd").size(); }

// A write that the file-size limit stops with EFBIG: the child's only way to
// make writing itself fail, even as root.
QV_CHILD_MODE(write_atomic_over_size_limit) {
  ::signal(SIGXFSZ, SIG_IGN);
  const rlimit limit{4, 4};
  if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 2;
  test::child_say(outcome(write_file_atomic(args.at(0), "more than four bytes")));
  return 0;
}

TEST(WriteFileAtomic, CreatesFoldersAndReplacesContentWithoutTemporaries) {
  TempDir dir;
  const auto target = dir / "a/b/record.json";
  ASSERT_EQ(outcome(write_file_atomic(target, "first")), "ok");
  EXPECT_EQ(read_file(target), "first");
  ASSERT_EQ(outcome(write_file_atomic(target, "")), "ok");
  EXPECT_EQ(read_file(target), "");
  ASSERT_EQ(outcome(write_file_atomic(target, "second")), "ok");
  EXPECT_EQ(read_file(target), "second");
  EXPECT_EQ(names_in(dir / "a/b"), std::set<std::string>{"record.json"});
}

TEST(WriteFileAtomic, FailedRenameKeepsTargetAndRemovesTemporary) {
  TempDir dir;
  // A folder where the file should go refuses the rename, as root too.
  write_file(dir / "target/inside", "kept");
  EXPECT_EQ(outcome(write_file_atomic(dir / "target", "new")),
            fmt::format("replace {}: Is a directory (os error 21)", (dir / "target").string()));
  EXPECT_EQ(read_file(dir / "target/inside"), "kept");
  EXPECT_EQ(names_in(dir.path()), std::set<std::string>{"target"});
}

TEST(WriteFileAtomic, FailedWriteKeepsTargetAndRemovesTemporary) {
  TempDir dir;
  write_file(dir / "target", "old");
  const auto result = test::run_self("write_atomic_over_size_limit", {(dir / "target").string()});
  ASSERT_EQ(result.exit_code, 0);
  EXPECT_NE(result.output.find("File too large (os error 27)\n"), std::string::npos) << result.output;
  EXPECT_EQ(read_file(dir / "target"), "old");
  EXPECT_EQ(names_in(dir.path()), std::set<std::string>{"target"});
}

TEST(WriteFileAtomic, RefusesRootAndLinkedFolders) {
  TempDir dir;
  fs::create_directory(dir / "real");
  fs::create_directory_symlink(dir / "real", dir / "link");
  EXPECT_EQ(outcome(write_file_atomic("/", "x")), "parent");
  EXPECT_EQ(outcome(write_file_atomic(dir / "link/file", "x")),
            fmt::format("reparse point rejected: {}", (dir / "link").string()));
  EXPECT_TRUE(names_in(dir / "real").empty());
}

TEST(WriteGuard, ProtectedReferenceClientIsRefusedByEveryWriter) {
  TempDir dir;
  write_file(dir / "source", "data");
  const auto inside = dir / "games/QVOnline Pristine/data/file";
  const std::string refused = "immutable input cannot be a write target";
  EXPECT_EQ(outcome(check_write_target(inside)), refused);
  EXPECT_EQ(outcome(write_file_atomic(inside, "x")), refused);
  EXPECT_EQ(outcome(copy_durable(dir / "source", inside)), refused);
  EXPECT_EQ(outcome(replace_file(dir / "source", inside)), refused);
  EXPECT_EQ(outcome(replace_file(inside, dir / "elsewhere")), refused);
  EXPECT_EQ(outcome(probe_targets({dir / "source", inside})), refused);
  EXPECT_FALSE(fs::exists(dir / "games"));
  EXPECT_EQ(read_file(dir / "source"), "data");
  // Only whole components count.
  EXPECT_EQ(outcome(check_write_target(dir / "qvonline pristine copy/file")), "ok");
}

TEST(ReplaceFile, MovesOverDestinationAcrossFolders) {
  TempDir dir;
  write_file(dir / "a/source", "new");
  write_file(dir / "b/destination", "old");
  ASSERT_EQ(outcome(replace_file(dir / "a/source", dir / "b/destination")), "ok");
  EXPECT_EQ(read_file(dir / "b/destination"), "new");
  EXPECT_FALSE(fs::exists(dir / "a/source"));
  EXPECT_EQ(outcome(replace_file(dir / "a/missing", dir / "b/destination")),
            fmt::format("replace {}: No such file or directory (os error 2)", (dir / "b/destination").string()));
  EXPECT_EQ(read_file(dir / "b/destination"), "new");

  // Two names of one file: the kernel's rename would do nothing and succeed.
  write_file(dir / "c/first", "same");
  fs::create_hard_link(dir / "c/first", dir / "c/second");
  ASSERT_EQ(outcome(replace_file(dir / "c/first", dir / "c/second")), "ok");
  EXPECT_FALSE(fs::exists(dir / "c/first"));
  EXPECT_EQ(read_file(dir / "c/second"), "same");
}

TEST(ReplaceFile, AFileMovedOntoItsOwnNameStays) {
  TempDir dir;
  const auto file = write_file(dir / "d/f", "kept");
  struct Case {
    fs::path source;
    fs::path destination;
  };
  const Case cases[] = {
      {file, file},
      {dir / "d/./f", file},
      {file, dir / "d/../d/f"},
      {dir / "d//f", dir / "./d/f"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(outcome(replace_file(c.source, c.destination)), "ok") << c.source << " -> " << c.destination;
    EXPECT_EQ(read_file(file), "kept");
    EXPECT_EQ(names_in(dir / "d"), std::set<std::string>{"f"});
  }
  // Nothing to keep: the move fails as any move of a missing file.
  EXPECT_EQ(outcome(replace_file(dir / "d/./gone", dir / "d/gone")),
            fmt::format("replace {}: No such file or directory (os error 2)", (dir / "d/gone").string()));
}

TEST(CopyDurable, RefusesWhatIsNotARegularFileInsteadOfBlocking) {
  TempDir dir;
  ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
  write_file(dir / "file", "x");
  EXPECT_EQ(outcome(copy_durable(dir / "pipe", dir / "copy")), "Invalid argument (os error 22)");
  EXPECT_FALSE(fs::exists(dir / "copy"));
  // A pipe in the destination's place has no reader: refused at once.
  EXPECT_NE(outcome(copy_durable(dir / "file", dir / "pipe")), "ok");
}

TEST(CopyDurable, CopiesContentAndModeSoACopiedProgramRuns) {
  TempDir dir;
  write_file(dir / "program", "#!/bin/sh\nexit 7\n");
  fs::permissions(dir / "program", fs::perms(0755));
  write_file(dir / "out/program", std::string(5000, 'x'));  // longer: must be truncated
  ASSERT_EQ(outcome(copy_durable(dir / "program", dir / "out/program")), "ok");
  EXPECT_EQ(read_file(dir / "out/program"), "#!/bin/sh\nexit 7\n");
  EXPECT_EQ(fs::status(dir / "out/program").permissions(), fs::perms(0755));
  EXPECT_EQ(test::run_child({(dir / "out/program").string()}).exit_code, 7);

  // Larger than one copy chunk, into a folder that does not exist yet.
  std::string big(3 * 1024 * 1024 + 17, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 131 % 251);
  write_file(dir / "big", big);
  fs::permissions(dir / "big", fs::perms(0600));
  ASSERT_EQ(outcome(copy_durable(dir / "big", dir / "new/folder/big")), "ok");
  EXPECT_EQ(read_file(dir / "new/folder/big"), big);
  EXPECT_EQ(fs::status(dir / "new/folder/big").permissions(), fs::perms(0600));
}

TEST(CopyDurable, RefusesLinkedSourceRootDestinationAndCopyOntoItself) {
  TempDir dir;
  write_file(dir / "real", "data");
  fs::create_symlink(dir / "real", dir / "link");
  EXPECT_EQ(outcome(copy_durable(dir / "link", dir / "copy")),
            fmt::format("reparse point rejected: {}", (dir / "link").string()));
  EXPECT_EQ(outcome(copy_durable(dir / "real", "/")), "parent");
  EXPECT_FALSE(fs::exists(dir / "copy"));
  // A second name of the source itself must not empty it.
  fs::create_hard_link(dir / "real", dir / "hard");
  EXPECT_EQ(outcome(copy_durable(dir / "real", dir / "hard")), "Invalid argument (os error 22)");
  EXPECT_EQ(read_file(dir / "real"), "data");
}

TEST(CopyDurable, ReplacesAHardLinkedDestinationInsteadOfWritingThroughIt) {
  TempDir client;
  TempDir outside;
  write_file(outside / "precious", "outside content");
  write_file(client / "source", "copied");
  fs::create_directories(client / "data");
  fs::create_hard_link(outside / "precious", client / "data/file");

  ASSERT_EQ(outcome(copy_durable(client / "source", client / "data/file")), "ok");
  EXPECT_EQ(read_file(client / "data/file"), "copied");
  EXPECT_EQ(read_file(outside / "precious"), "outside content");
  EXPECT_EQ(fs::hard_link_count(outside / "precious"), 1u);
  EXPECT_EQ(names_in(client / "data"), std::set<std::string>{"file"});
}

// Holds a file open until its standard output is closed by the parent's
// kill.
QV_CHILD_MODE(hold_open) {
  const int fd = ::open(args.at(0).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 2;
  test::child_say("open");
  ::pause();
  return 0;
}

TEST(ProbeTargets, PassesMissingAndClosedFilesAndClosesEverything) {
  TempDir dir;
  write_file(dir / "present", "content");
  const auto before = open_descriptor_count();
  EXPECT_EQ(outcome(probe_targets({dir / "missing", dir / "present", dir / "missing/below"})), "ok");
  EXPECT_EQ(open_descriptor_count(), before);
  EXPECT_EQ(read_file(dir / "present"), "content");
  EXPECT_FALSE(fs::exists(dir / "missing"));
}

TEST(ProbeTargets, RefusesFoldersAndFilesInUse) {
  TempDir dir;
  write_file(dir / "a", "a");
  write_file(dir / "b", "b");
  fs::create_directory(dir / "folder");
  fs::copy_file("/bin/sleep", dir / "game");
  fs::permissions(dir / "game", fs::perms(0755));

  auto holder = test::Child::start_self("hold_open", {(dir / "b").string()});
  ASSERT_TRUE(holder.wait_for_line("open"));
  auto running = test::Child::start({(dir / "game").string(), "60"});
  // The program's image is mapped once exec has gone through.
  for (int i = 0; i < 500 && fs::read_symlink(fmt::format("/proc/{}/exe", running.pid())) != dir / "game"; ++i) {
    ::usleep(10000);
  }

  const auto locked = [&](const char* name, const char* reason) {
    return fmt::format("file locked or not writable: {}: {}", (dir / name).string(), reason);
  };
  struct Case {
    std::vector<fs::path> targets;
    std::string expected;
  };
  const Case cases[] = {
      {{dir / "a", dir / "folder"}, fmt::format("replacement target is not a file: {}", (dir / "folder").string())},
      {{dir / "a", dir / "b"}, locked("b", "Resource temporarily unavailable (os error 11)")},
      {{dir / "game"}, locked("game", "Text file busy (os error 26)")},
      // The first occurrence is still held when the second is probed.
      {{dir / "a", dir / "missing", dir / "a"}, locked("a", "Resource temporarily unavailable (os error 11)")},
  };
  const auto before = open_descriptor_count();
  for (const auto& c : cases) {
    EXPECT_EQ(outcome(probe_targets(c.targets)), c.expected);
    EXPECT_EQ(open_descriptor_count(), before);
  }
  holder.kill(SIGKILL);
  holder.wait();
  EXPECT_EQ(outcome(probe_targets({dir / "a", dir / "b"})), "ok");
}

TEST(CheckTransactionDir, AcceptsOnlyDirectChildrenNamedById) {
  TempDir dir;
  const auto transactions = dir / ".launcher/transactions";
  const std::string id(32, 'a');
  const std::string upper = "0123456789ABCDEF0123456789ABCDEF";
  for (const auto& name : {id, upper, std::string(31, 'a'), std::string(33, 'a'), std::string(31, 'a') + "g"}) {
    fs::create_directories(transactions / name);
  }
  fs::create_directories(transactions / id / std::string(32, 'b'));
  fs::create_directories(dir / "elsewhere" / id);
  fs::create_directory_symlink(transactions / id, dir / "alias");

  struct Case {
    fs::path folder;
    std::string expected;
  };
  const Case cases[] = {
      {transactions / id, (transactions / id).string()},
      {transactions / upper, (transactions / upper).string()},
      // Canonicalised first, so a link to a transaction folder names it.
      {dir / "alias", (transactions / id).string()},
      {transactions / "." / id, (transactions / id).string()},
      {transactions, "cleanup scope violation"},
      {transactions / id / std::string(32, 'b'), "cleanup scope violation"},
      {dir / "elsewhere" / id, "cleanup scope violation"},
      {"/", "cleanup scope violation"},
      {transactions / std::string(31, 'a'), "transaction id"},
      {transactions / std::string(33, 'a'), "transaction id"},
      {transactions / (std::string(31, 'a') + "g"), "transaction id"},
      {transactions / std::string(32, 'c'), "No such file or directory (os error 2)"},
      // A file named like a transaction is not one, and must not be removed as one.
      {transactions / std::string(32, 'd'), "Not a directory (os error 20)"},
  };
  write_file(transactions / std::string(32, 'd'), "not a folder");
  for (const auto& c : cases) {
    const auto result = check_transaction_dir(dir.path(), c.folder);
    EXPECT_EQ(result ? result->string() : result.error().to_string(), c.expected) << c.folder;
  }
}

// A client with one transaction folder holding a few files.
struct ClientWithTransaction {
  TempDir dir;
  std::string id = random_hex_id();
  fs::path folder = dir / ".launcher/transactions" / id;
  fs::path marker = dir / ".launcher/state/cleanup-pending" / (id + ".json");

  ClientWithTransaction() {
    write_file(folder / "journal.json", "{}");
    write_file(folder / "backup/data/file.pak", "old");
    write_file(folder / "objects/0a/obj", "obj");
  }
};

TEST(CleanupTransaction, RemovesFolderAndMarker) {
  ClientWithTransaction client;
  ASSERT_EQ(outcome(cleanup_transaction(client.dir.path(), client.folder)), "ok");
  EXPECT_FALSE(fs::exists(client.folder));
  EXPECT_TRUE(names_in(client.dir / ".launcher/state/cleanup-pending").empty());
  EXPECT_TRUE(fs::exists(client.dir / ".launcher/transactions"));
}

// The files of a large folder are unlinked on several threads; still every
// file and folder of the transaction goes, and the marker with them.
TEST(CleanupTransaction, FoldersOfManyFilesAreRemovedWhole) {
  ClientWithTransaction client;
  for (int i = 0; i < 300; ++i) write_file(client.folder / fmt::format("downloads/objects/{:03}.qvp", i), "object");
  for (int i = 0; i < 40; ++i) write_file(client.folder / fmt::format("backup/data/d1/f{:02}.bin", i), "old");
  write_file(client.folder / "backup/data/d1/deeper/last.bin", "old");
  ASSERT_EQ(outcome(cleanup_transaction(client.dir.path(), client.folder)), "ok");
  EXPECT_FALSE(fs::exists(client.folder));
  EXPECT_TRUE(names_in(client.dir / ".launcher/state/cleanup-pending").empty());
}

TEST(CleanupTransaction, LinkInsideIsRefusedAndNothingIsTouched) {
  ClientWithTransaction client;
  TempDir outside;
  write_file(outside / "precious", "keep");
  fs::create_directory_symlink(outside.path(), client.folder / "backup/data/escape");
  fs::create_symlink(outside / "precious", client.folder / "file-link");
  const auto result = cleanup_transaction(client.dir.path(), client.folder);
  ASSERT_FALSE(result);
  EXPECT_TRUE(result.error().to_string().starts_with("reparse point rejected: " + client.folder.string()))
      << result.error().to_string();
  EXPECT_EQ(read_file(outside / "precious"), "keep");
  EXPECT_EQ(read_file(client.folder / "journal.json"), "{}");
  EXPECT_FALSE(fs::exists(client.marker.parent_path()));
}

TEST(CleanupTransaction, MarkerThatCannotBeWrittenLeavesNoTemporary) {
  ClientWithTransaction client;
  // The marker's own name is taken by a folder: the atomic write fails at the
  // rename, and must not leave its temporary where every entry counts as an
  // unfinished removal.
  fs::create_directories(client.marker / "x");
  const auto result = cleanup_transaction(client.dir.path(), client.folder);
  EXPECT_EQ(outcome(result), fmt::format("replace {}: Is a directory (os error 21)", client.marker.string()));
  EXPECT_EQ(names_in(client.marker.parent_path()), std::set<std::string>{client.id + ".json"});
  EXPECT_TRUE(fs::exists(client.folder / "journal.json"));
}

TEST(ProcessCleanupPending, FinishesInterruptedRemovalsAndPassesOverOtherNames) {
  ClientWithTransaction client;
  const auto markers = client.marker.parent_path();
  // An interrupted removal: marker written, part of the tree already gone.
  write_file(client.marker, R"({"pending":true})");
  fs::remove_all(client.folder / "objects");
  // A marker whose folder is gone already, in upper-case digits.
  const std::string gone = "ABCDEF0123456789ABCDEF0123456789";
  write_file(markers / (gone + ".json"), R"({"pending":true})");
  // Other names are no markers.
  const std::set<std::string> others = {std::string(31, 'a') + ".json", std::string(32, 'a') + ".json.bak",
                                        std::string(32, 'a') + ".writing", "notes.txt"};
  for (const auto& name : others) write_file(markers / name, "x");

  const auto failures = process_cleanup_pending(client.dir.path());
  ASSERT_TRUE(failures) << failures.error().to_string();
  EXPECT_TRUE(failures->empty());
  EXPECT_FALSE(fs::exists(client.folder));
  EXPECT_EQ(names_in(markers), others);
}

TEST(ProcessCleanupPending, ReportsRemovalsThatStillFailAndKeepsTheirMarkers) {
  ClientWithTransaction client;
  TempDir outside;
  write_file(client.marker, R"({"pending":true})");
  fs::create_directory_symlink(outside.path(), client.folder / "link");
  const auto failures = process_cleanup_pending(client.dir.path());
  ASSERT_TRUE(failures) << failures.error().to_string();
  ASSERT_EQ(failures->size(), 1u);
  EXPECT_EQ(failures->front(), fmt::format("Cleanup pending for {}: reparse point rejected: {}", client.id,
                                           (client.folder / "link").string()));
  EXPECT_TRUE(fs::exists(client.marker));
  EXPECT_TRUE(fs::exists(outside.path()));
}

TEST(ProcessCleanupPending, MissingMarkerFolderGivesEmptyListAndUnlistableFolderFails) {
  TempDir dir;
  auto failures = process_cleanup_pending(dir.path());
  ASSERT_TRUE(failures);
  EXPECT_TRUE(failures->empty());
  write_file(dir / ".launcher/state/cleanup-pending", "a file, not a folder");
  failures = process_cleanup_pending(dir.path());
  ASSERT_FALSE(failures);
  EXPECT_EQ(failures.error().to_string(), "Not a directory (os error 20)");
}

QV_CHILD_MODE(cleanup) { return cleanup_transaction(args.at(0), args.at(1)) ? 0 : 1; }

TEST(ProcessCleanupPending, FinishesRemovalOfAKilledProcess) {
  ClientWithTransaction client;
  for (int i = 0; i < 4000; ++i) write_file(client.folder / fmt::format("d{}/f{}", i % 40, i), "x");
  auto child = test::Child::start_self("cleanup", {client.dir.path().string(), client.folder.string()});
  // Killed as soon as the marker is there, somewhere inside the removal.
  bool seen = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!seen && std::chrono::steady_clock::now() < deadline) seen = fs::exists(client.marker);
  child.kill(SIGKILL);
  const auto ended = child.wait();
  EXPECT_TRUE(seen);
  if (ended.signal == SIGKILL) {
    EXPECT_TRUE(fs::exists(client.marker));
  }

  const auto failures = process_cleanup_pending(client.dir.path());
  ASSERT_TRUE(failures) << failures.error().to_string();
  EXPECT_TRUE(failures->empty());
  EXPECT_FALSE(fs::exists(client.folder));
  EXPECT_TRUE(names_in(client.marker.parent_path()).empty());
}

// Removes a transaction folder with the descriptor limit lowered to `limit`.
QV_CHILD_MODE(cleanup_with_descriptor_limit) {
  const rlim_t limit = std::stoul(args.at(2));
  const rlimit lowered{limit, limit};
  if (::setrlimit(RLIMIT_NOFILE, &lowered) != 0) return 2;
  test::child_say(outcome(cleanup_transaction(args.at(0), args.at(1))));
  return 0;
}

TEST(CleanupTransaction, ATreeDeeperThanTheDescriptorLimitIsRemoved) {
  ClientWithTransaction client;
  constexpr int kDepth = 1100;
  fs::path deepest = client.folder;
  for (int level = 0; level < kDepth; ++level) {
    deepest /= "d";
    if (level % 100 == 0) write_file(deepest.parent_path() / fmt::format("file{}", level), "x");
  }
  fs::create_directories(deepest);
  write_file(deepest / "last", "x");

  const auto result = test::run_self("cleanup_with_descriptor_limit",
                                     {client.dir.path().string(), client.folder.string(), "256"});
  ASSERT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.output, "ok\n");
  EXPECT_FALSE(fs::exists(client.folder));
  EXPECT_TRUE(names_in(client.marker.parent_path()).empty());
}

// Names in `folder` when it is a real folder (not a link to one).
std::set<std::string> names_in_real_folder(const fs::path& folder) {
  std::error_code ec;
  if (fs::is_symlink(fs::symlink_status(folder, ec)) || !fs::is_directory(folder, ec)) return {};
  return names_in(folder);
}

constexpr auto kRaceTime = std::chrono::seconds(3);

TEST(FileOpsRace, WritesNeverLeaveTheClientWhileAFolderIsExchangedForALink) {
  TempDir client;
  TempDir outside;
  const auto data = client / "data";
  const auto swap = client / "swap";
  fs::create_directory(data);
  fs::create_directory_symlink(outside.path(), swap);
  write_file(client / "source", "payload");

  auto attacker = test::start_exchanging(data, swap);
  int written = 0;
  for (const auto until = std::chrono::steady_clock::now() + kRaceTime; std::chrono::steady_clock::now() < until;) {
    written += write_file_atomic(data / "record.json", "record") ? 1 : 0;
    (void)replace_file(data / "record.json", data / "moved.json");
    (void)copy_durable(client / "source", data / "copy");
    (void)probe_targets({data / "copy"});
  }
  attacker.kill(SIGKILL);
  attacker.wait();

  EXPECT_GT(written, 0);
  EXPECT_TRUE(names_in(outside.path()).empty()) << ::testing::PrintToString(names_in(outside.path()));
  for (const auto& folder : {data, swap}) {
    for (const auto& name : names_in_real_folder(folder)) {
      EXPECT_FALSE(name.ends_with(".writing")) << name;
    }
  }
}

TEST(FileOpsRace, TransactionRemovalNeverReachesOutsideTheClient) {
  TempDir client;
  TempDir outside;
  const auto transactions = client / ".launcher/transactions";
  const auto swap = client / ".launcher/swap";
  std::vector<std::string> ids;
  for (int i = 0; i < 200; ++i) {
    ids.push_back(random_hex_id());
    write_file(transactions / ids.back() / "backup/file", "old");
    write_file(outside / "transactions" / ids.back() / "backup/precious", "keep");
  }
  fs::create_directory_symlink(outside / "transactions", swap);

  auto attacker = test::start_exchanging(transactions, swap);
  const auto until = std::chrono::steady_clock::now() + kRaceTime;
  for (const auto& id : ids) {
    if (std::chrono::steady_clock::now() >= until) break;
    (void)cleanup_transaction(client.path(), transactions / id);
  }
  attacker.kill(SIGKILL);
  attacker.wait();

  for (const auto& id : ids) {
    EXPECT_EQ(read_file(outside / "transactions" / id / "backup/precious"), "keep") << id;
  }
  EXPECT_EQ(names_in(outside / "transactions").size(), ids.size());
}

}  // namespace
}  // namespace qv
