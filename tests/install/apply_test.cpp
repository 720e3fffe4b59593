#include "core/install/apply.hpp"

#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "core/foundations/lock.hpp"
#include "core/install/check.hpp"
#include "core/install/journal.hpp"
#include "support/install_fixture.hpp"
#include "support/child_process.hpp"
#include "support/recording_sink.hpp"
#include "support/served_client.hpp"
#include "support/temp_dir.hpp"
#include "support/tree_snapshot.hpp"

namespace qv {
namespace {

namespace fs = std::filesystem;
using test::ClientFile;
using test::PublishedRelease;
using test::ServedClient;

const std::vector<ClientFile> kOld = {{"bin/game.exe", "game v1"}, {"data/a.txt", "alpha"}, {"b.txt", "bravo"}};
const std::vector<ClientFile> kNew = {
    {"bin/game.exe", "game v2, a little longer"}, {"data/a.txt", "alpha"}, {"c.txt", "charlie"}};

// A client on release 1 (kOld) and release 2 (kNew, deleting "b.txt")
// published to it, checked; what a test does next is its own.
struct Patch {
  explicit Patch(bool with_state = true, bool retain_artifacts = false) : retain(retain_artifacts) {
    old_release = &served.client.publish(1, kOld);
    new_release = &served.client.publish(2, kNew, {"b.txt"});
    served.client.place(*old_release, with_state);
    served.serve(*new_release);
    auto checked = prepare(config(), false, CancelFlag{}, LineSink::discard());
    if (!checked) throw std::runtime_error("prepare: " + checked.error().to_string());
    check = *checked;
  }
  ClientConfig config() const { return served.config(retain); }
  Status run(test::RecordingSink& sink, const CancelFlag& cancel = {}) const {
    return apply(config(), check, cancel, sink.sink());
  }
  // The client's files on release 2, as an install makes them.
  test::TreeSnapshot new_tree(bool deleted = true) const {
    test::TreeSnapshot tree;
    for (const auto& file : kNew) {
      tree[file.path] = test::snapshot_file_entry(file.path == "bin/game.exe" ? 0755 : 0644, file.content);
    }
    if (!deleted) tree["b.txt"] = test::snapshot_file_entry(0644, "bravo");
    return tree;
  }
  std::string state() const {
    const fs::path path = served.client.root() / ".launcher/state/manifest.qvm";
    return fs::exists(path) ? test::read_file(path) : std::string();
  }
  std::size_t object_requests() const {
    std::size_t n = 0;
    for (const auto& request : served.server.requests()) n += request.target.starts_with("/objects/");
    return n;
  }

  ServedClient served;
  bool retain;
  const PublishedRelease* old_release = nullptr;
  const PublishedRelease* new_release = nullptr;
  PreparedCheck check;
};

// The lines from the first that satisfies `from` on.
std::vector<std::string> lines_from(const std::vector<std::string>& lines, const std::string& first) {
  const auto at = std::find(lines.begin(), lines.end(), first);
  return {at, lines.end()};
}

std::vector<std::string> all_lines(const test::RecordingSink& sink) {
  std::vector<std::string> out;
  for (const auto& line : sink.lines()) out.push_back(test::RecordingSink::progress_text(line).value_or(line));
  return out;
}

TEST(Apply, InstallsReplacesAndDeletesInTheOrderOfItsLinesAndRecords) {
  Patch patch;
  test::RecordingSink sink;
  const auto applied = patch.run(sink);
  ASSERT_TRUE(applied) << applied.error().to_string();

  EXPECT_EQ(patch.served.client.client_tree(), patch.new_tree());
  EXPECT_EQ(patch.state(), test::as_text(patch.new_release->envelope));
  EXPECT_FALSE(fs::exists(patch.check.transaction_dir));
  EXPECT_TRUE(patch.served.transactions().empty());

  const auto lines = all_lines(sink);
  EXPECT_EQ(lines.front(), "Check 0/3 ");
  const std::uint64_t bytes = patch.check.plan.download_bytes;
  ASSERT_NE(std::find(lines.begin(), lines.end(), "Download 0/" + std::to_string(bytes) + " "), lines.end());
  EXPECT_EQ(lines_from(lines, "Validate 0/2 "), (std::vector<std::string>{
                                                    "Validate 0/2 ",
                                                    "Verifying bin/game.exe",
                                                    "Validate 1/2 bin/game.exe",
                                                    "Verifying c.txt",
                                                    "Validate 2/2 c.txt",
                                                    "Closing this client's game processes...",
                                                    "CloseGame 0/1 zEntry.exe / QV Online",
                                                    "CloseGame 1/1 พร้อมติดตั้ง",
                                                    "Apply 0/6 ตรวจไฟล์ล็อกและเตรียมสำรอง",
                                                    "Apply 0/6 bin/game.exe",
                                                    "Apply 1/6 bin/game.exe",
                                                    "Apply 1/6 c.txt",
                                                    "Apply 2/6 c.txt",
                                                    "Apply 2/6 b.txt",
                                                    "Apply 3/6 b.txt",
                                                    "Apply 4/6 ตรวจหลังติดตั้ง bin/game.exe",
                                                    "Apply 5/6 ตรวจหลังติดตั้ง c.txt",
                                                    "Release 2 installed. ",
                                                    "Apply 6/6 บันทึกสถานะเรียบร้อย",
                                                    "Done 1/1 เสร็จสมบูรณ์",
                                                }));
  // The Download records end at the whole, each "Downloading" line at its object's size.
  std::vector<std::string> downloads;
  for (const auto& line : lines) {
    if (line.starts_with("Download ")) downloads.push_back(line);
  }
  EXPECT_TRUE(downloads.back().starts_with("Download " + std::to_string(bytes) + "/" + std::to_string(bytes) + " "));
  EXPECT_EQ(patch.object_requests(), 2u);
}

TEST(Apply, WithoutAnInstalledStateNothingIsDeletedAndRetainKeepsTheFolder) {
  Patch patch(false, true);
  test::RecordingSink sink;
  ASSERT_TRUE(patch.run(sink));
  EXPECT_EQ(patch.served.client.client_tree(), patch.new_tree(false));
  EXPECT_EQ(patch.state(), test::as_text(patch.new_release->envelope));
  const auto lines = all_lines(sink);
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Release 2 installed. Test artifacts retained."), lines.end());
  EXPECT_EQ(test::journal_of(patch.check.transaction_dir).phase, "complete");

  // The same check again: its folder holds a journal now.
  const auto again = patch.run(sink);
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error().to_string(),
            "This transaction was already applied or rolled back; check again to create a new attempt");
}

TEST(Apply, ReValidationRefusesAChangedCheck) {
  struct Case {
    const char* name;
    std::function<void(Patch&, ClientConfig&)> change;
    std::string error;  // a prefix
  };
  const std::vector<Case> cases = {
      {"root changed",
       [](Patch& p, ClientConfig& c) {
         c.root = p.served.dir / "elsewhere";
         fs::create_directories(c.root);
       },
       "root changed"},
      {"applied before and removed", [](Patch& p, ClientConfig&) { fs::remove_all(p.check.transaction_dir); },
       "No such file or directory (os error 2)"},
      {"manifest replaced",
       [](Patch& p, ClientConfig&) {
         test::write_file(p.check.transaction_dir / "manifest.qvm",
                          test::as_text(p.served.client.publish(3, kNew).envelope));
       },
       "prepared manifest changed"},
      {"superseded", [](Patch& p, ClientConfig&) { p.served.client.place(p.served.client.publish(3, kNew)); },
       "prepared release superseded"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Patch patch;
    ClientConfig config = patch.config();
    c.change(patch, config);
    const test::TreeSnapshot before = patch.served.client.client_tree();
    test::RecordingSink sink;
    const auto applied = apply(config, patch.check, CancelFlag{}, sink.sink());
    ASSERT_FALSE(applied);
    EXPECT_TRUE(applied.error().to_string().ends_with(c.error)) << applied.error().to_string();
    // Recorded under the configured root, wherever that is now.
    EXPECT_NE(test::read_file(config.root / ".launcher/state/errors.txt").find(" apply]\n"), std::string::npos);
    EXPECT_EQ(patch.object_requests(), 0u);
    EXPECT_EQ(patch.served.client.client_tree(), before);
  }
}

TEST(Apply, RootChangedIsFoundBeforeTheLock) {
  Patch patch;
  auto held = acquire_client_lock(patch.served.client.root());
  ASSERT_TRUE(held);
  ClientConfig config = patch.config();
  config.root = patch.served.dir / "elsewhere";
  fs::create_directories(config.root);
  const auto applied = apply(config, patch.check, CancelFlag{}, LineSink::discard());
  ASSERT_FALSE(applied);
  EXPECT_EQ(applied.error().to_string(), "root changed");
}

TEST(Apply, AClientCompletedMeanwhileNeedsNoDownloadAndNoGameClosed) {
  Patch patch;
  patch.served.client.place(*patch.new_release);  // the same release, by other means
  fs::remove(patch.served.client.root() / "b.txt");
  test::RecordingSink sink;
  ASSERT_TRUE(patch.run(sink));
  EXPECT_EQ(patch.object_requests(), 0u);
  EXPECT_FALSE(fs::exists(patch.check.transaction_dir));
  const auto lines = all_lines(sink);
  EXPECT_EQ(lines_from(lines, "Validate 0/0 "),
            (std::vector<std::string>{"Validate 0/0 ", "Closing this client's game processes...",
                                      "CloseGame 0/1 zEntry.exe / QV Online", "CloseGame 1/1 พร้อมติดตั้ง",
                                      "Apply 0/1 ตรวจไฟล์ล็อกและเตรียมสำรอง", "Release 2 installed. ",
                                      "Apply 1/1 บันทึกสถานะเรียบร้อย", "Done 1/1 เสร็จสมบูรณ์"}));
}

TEST(Apply, AnUnusableInstalledStateIsReadTwiceAndTheRePlanIsAFullScan) {
  Patch patch;
  test::write_file(patch.served.client.root() / ".launcher/state/manifest.qvm", "not a manifest");
  test::RecordingSink sink;
  ASSERT_TRUE(patch.run(sink));
  const std::string log = patch.served.log();
  std::size_t records = 0;
  for (std::size_t at = 0; (at = log.find(" installed manifest; full scan required]\n", at)) != std::string::npos; ++at) {
    ++records;
  }
  EXPECT_EQ(records, 2u) << log;
  // A full scan deletes nothing: nothing vouches that b.txt was installed.
  EXPECT_EQ(patch.served.client.client_tree(), patch.new_tree(false));
}

TEST(Apply, AnObjectCorruptedOnDiskIsSetAsideAndFetchedOnceMore) {
  for (const bool twice : {false, true}) {
    SCOPED_TRACE(twice ? "bad again" : "good the second time");
    Patch patch;
    const FileEntry& entry = patch.new_release->manifest.files[2];  // c.txt
    const fs::path object = patch.check.transaction_dir / "downloads" / entry.object;
    // Spoiled once the downloads are done, before any object is verified.
    test::RecordingSink sink([&](const std::string& line) {
      if (test::RecordingSink::progress_text(line) != "Validate 0/2 ") return;
      std::string bytes = test::read_file(object);
      bytes[bytes.size() / 2] ^= 0x55;
      test::write_file(object, bytes);
      if (twice) {
        test::Answer answer;
        answer.body = bytes;
        patch.served.server.script("/" + entry.object, answer);
      }
    });
    const auto applied = patch.run(sink);
    const auto lines = sink.status_lines();
    const auto retry = std::find(lines.begin(), lines.end(), "Retrying c.txt from byte zero after verification failure");
    ASSERT_NE(retry, lines.end());
    EXPECT_TRUE((retry - 1)->starts_with("c.txt: ")) << *(retry - 1);
    EXPECT_NE(patch.served.log().find(" validate/retry]\nc.txt: "), std::string::npos);

    if (!twice) {
      ASSERT_TRUE(applied) << applied.error().to_string();
      EXPECT_EQ(patch.served.client.client_tree(), patch.new_tree());
      continue;
    }
    ASSERT_FALSE(applied);
    EXPECT_TRUE(applied.error().to_string().starts_with("validate c.txt: ")) << applied.error().to_string();
    std::vector<fs::path> aside;
    for (const auto& item : fs::directory_iterator(object.parent_path())) {
      if (item.path().extension() == ".invalid") aside.push_back(item.path());
    }
    ASSERT_EQ(aside.size(), 1u);
    const std::string name = aside[0].filename().string();
    EXPECT_EQ(name.size(), object.stem().string().size() + 1 + 32 + 8) << name;
    EXPECT_TRUE(name.starts_with(object.stem().string() + "."));
    EXPECT_TRUE(fs::exists(object));
    EXPECT_FALSE(fs::exists(patch.check.transaction_dir / "journal.json"));
    EXPECT_FALSE(patch.served.client.client_tree().contains("c.txt"));
  }
}

TEST(Apply, CancellationAtEachPlaceItIsRead) {
  struct Case {
    const char* name;
    std::string at_line;  // cancel when this line is sent; empty: before the call
    std::vector<std::string> errors;
    const char* phase;  // of the journal afterwards; "" for none
  };
  const std::vector<Case> cases = {
      {"before the downloads", "", {"cancelled; artifacts retained"}, ""},
      {"during the downloads",
       "Download 0/",
       {"cancelled; artifacts retained", "cancelled; partial retained"},
       ""},
      {"during validation", "Verifying bin/game.exe", {"cancelled; artifacts retained"}, ""},
      {"after the last verification", "Validate 2/2 c.txt", {"cancelled; artifacts retained"}, ""},
      // Past the last check before the journal: the executor sees it first.
      {"while the game is closed", "CloseGame 1/1", {"cancelled during installation"}, "rolled-back"},
      {"during the install", "Apply 1/6 bin/game.exe", {"cancelled during installation"}, "rolled-back"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Patch patch;
    const test::TreeSnapshot before = patch.served.client.client_tree();
    CancelFlag cancel;
    if (c.at_line.empty()) cancel.cancel();
    test::RecordingSink sink([&](const std::string& line) {
      const std::string text = test::RecordingSink::progress_text(line).value_or(line);
      if (!c.at_line.empty() && text.starts_with(c.at_line)) cancel.cancel();
    });
    const auto applied = patch.run(sink, cancel);
    ASSERT_FALSE(applied);
    EXPECT_NE(std::find(c.errors.begin(), c.errors.end(), applied.error().to_string()), c.errors.end())
        << applied.error().to_string();
    EXPECT_EQ(patch.served.client.client_tree(), before);
    const fs::path journal = patch.check.transaction_dir / "journal.json";
    EXPECT_EQ(fs::exists(journal) ? test::journal_of(patch.check.transaction_dir).phase : "", c.phase);
    if (c.at_line.empty()) {
      EXPECT_EQ(patch.object_requests(), 0u);
    }
  }
}

TEST(Apply, AFailedInstallIsRolledBackAndAFailedRollbackIsNamedToo) {
  for (const bool rollback_fails : {false, true}) {
    SCOPED_TRACE(rollback_fails ? "rollback fails" : "rollback succeeds");
    Patch patch;
    const test::TreeSnapshot before = patch.served.client.client_tree();
    const fs::path root = patch.served.client.root();
    ::setenv("QV_TEST_FAILPOINT", "error-during-install-1", 1);
    bool spoiled = false;
    test::RecordingSink sink([&](const std::string& line) {
      // Once the first file is installed its folder gives way to a file:
      // the rollback cannot put the old one back.
      if (rollback_fails && !spoiled && line.find("\"Apply\",\"completed\":1,") != std::string::npos) {
        spoiled = true;
        fs::rename(root / "bin", root / "bin-moved");
        test::write_file(root / "bin", "in the way");
      }
    });
    const auto applied = patch.run(sink);
    ::unsetenv("QV_TEST_FAILPOINT");
    ASSERT_FALSE(applied);
    const std::string install_error = "install c.txt: injected write failure during c.txt";
    const auto lines = sink.status_lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), install_error), lines.end());
    EXPECT_NE(patch.served.log().find(" install/rollback]\n" + install_error + "\n"), std::string::npos);
    if (!rollback_fails) {
      EXPECT_EQ(applied.error().to_string(), install_error);
      EXPECT_EQ(patch.served.client.client_tree(), before);
      EXPECT_EQ(patch.state(), test::as_text(patch.old_release->envelope));
      EXPECT_EQ(test::journal_of(patch.check.transaction_dir).phase, "rolled-back");
    } else {
      EXPECT_TRUE(applied.error().to_string().starts_with(install_error + "; rollback also failed: "))
          << applied.error().to_string();
      EXPECT_EQ(test::journal_of(patch.check.transaction_dir).phase, "installing");
    }
  }
}

TEST(Apply, ACleanupFailureAfterSuccessIsALineAndTheCallSucceeds) {
  Patch patch;
  test::RecordingSink sink([&](const std::string& line) {
    if (line == "Closing this client's game processes...") {
      fs::create_symlink("nowhere", patch.check.transaction_dir / "a link");
    }
  });
  const auto applied = patch.run(sink);
  ASSERT_TRUE(applied) << applied.error().to_string();
  EXPECT_EQ(patch.served.client.client_tree(), patch.new_tree());
  const auto lines = sink.status_lines();
  const auto pending = std::find_if(lines.begin(), lines.end(),
                                    [](const std::string& l) { return l.starts_with("Patch complete; cleanup pending: "); });
  ASSERT_NE(pending, lines.end());
  EXPECT_EQ(*(pending + 1), "Release 2 installed. ");
  EXPECT_NE(patch.served.log().find(" cleanup]\nPatch complete; cleanup pending: "), std::string::npos);
}

TEST(Apply, EntriesSharingOneObjectFetchItOnce) {
  ServedClient served;
  served.client.place(served.client.publish(1, kOld));
  // Identical files may share one object: the same entry under three paths.
  test::PublishFolder twins(served.dir / "twins", served.client.keys());
  twins.add_file("bin/game.exe", test::bytes_source("game v1"));
  const FileEntry shared = twins.add_file("x/one.dat", test::bytes_source("same bytes"));
  for (const char* path : {"y/two.dat", "z/3.dat"}) {
    FileEntry entry = shared;
    entry.path = path;
    twins.manifest().files.push_back(entry);
  }
  twins.manifest().release = 2;
  twins.write_manifest();
  served.server.serve_folder(twins.dir());
  auto check = prepare(served.config(), false, CancelFlag{}, LineSink::discard());
  ASSERT_TRUE(check) << check.error().to_string();
  ASSERT_EQ(check->plan.download.size(), 3u);
  test::RecordingSink sink;
  const auto applied = apply(served.config(), *check, CancelFlag{}, sink.sink());
  ASSERT_TRUE(applied) << applied.error().to_string();
  std::size_t requests = 0;
  for (const auto& request : served.server.requests()) requests += request.target.starts_with("/objects/");
  EXPECT_EQ(requests, 1u);
  const auto tree = served.client.client_tree();
  for (const char* path : {"x/one.dat", "y/two.dat", "z/3.dat"}) EXPECT_EQ(tree.at(path), test::snapshot_file_entry(0644, "same bytes"));
}

// The free-space need counts plain files, objects and 64 MiB, and is tested
// before any byte is fetched. A small file system of our own makes the
// margin exact to a page.
TEST(Apply, ANeedAboveTheFreeSpaceFailsBeforeAnyDownload) {
  test::TempDir mount_point;
  if (::mount("tmpfs", mount_point.path().c_str(), "tmpfs", 0, "size=80m") != 0) {
    GTEST_SKIP() << "cannot mount a file system of our own here";
  }
  struct Unmount {
    fs::path path;
    ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
  } unmount{mount_point.path()};
  {
    ServedClient served(mount_point.path() / "base");
    served.client.place(served.client.publish(1, kOld));
    const auto& two = served.client.publish(2, kNew, {"b.txt"});
    served.serve(two);
    auto check = prepare(served.config(), false, CancelFlag{}, LineSink::discard());
    ASSERT_TRUE(check) << check.error().to_string();
    std::uint64_t need = 64ull << 20;
    for (const auto index : check->plan.download) need += two.manifest.files[index].bytes;
    need += check->plan.download_bytes;

    const auto available = [&] { return fs::space(served.client.root()).available; };
    const fs::path filler = mount_point.path() / "filler";
    const auto fill_to = [&](std::uint64_t target) {  // leaves at most `target` free, within a page
      test::write_file(filler, "");
      const std::uint64_t free_now = available();
      // Written for real: a sparse file would take no pages.
      test::write_file(filler, std::string(free_now > target ? free_now - target : 0, 'z'));
    };
    fill_to(need - 1);
    const std::uint64_t free_space = available();
    ASSERT_LT(free_space, need);
    ASSERT_GT(free_space + 8192, need);
    const auto refused = apply(served.config(), *check, CancelFlag{}, LineSink::discard());
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().to_string(), "insufficient disk: need " + std::to_string(need) + " bytes, available " +
                                               std::to_string(free_space) + "; no files removed");
    std::size_t requests = 0;
    for (const auto& request : served.server.requests()) requests += request.target.starts_with("/objects/");
    EXPECT_EQ(requests, 0u);

    fill_to(need + 4096);
    ASSERT_GE(available(), need);
    const auto applied = apply(served.config(), *check, CancelFlag{}, LineSink::discard());
    EXPECT_TRUE(applied) << applied.error().to_string();
  }
}


// What stands at a managed file's path and is no file is the player's: the
// re-plan refuses it before a single object is asked for, and leaves it be.
TEST(Apply, AFolderOrAPipeAtAManagedPathFailsBeforeTheFirstObjectRequest) {
  struct Case {
    const char* name;
    std::function<void(const fs::path&)> make;
  };
  const std::vector<Case> cases = {
      {"folder", [](const fs::path& p) { test::write_file(p / "player's note.txt", "mine"); }},
      {"pipe", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0644), 0); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Patch patch;
    const fs::path in_the_way = patch.served.client.root() / "c.txt";
    c.make(in_the_way);
    const auto before = test::snapshot_tree(patch.served.client.root(), {.folders = true, .skip = {".launcher"}});
    test::RecordingSink sink;
    const auto applied = patch.run(sink);
    ASSERT_FALSE(applied);
    EXPECT_EQ(applied.error().to_string(), "replacement target is not a file: " + in_the_way.string());
    EXPECT_EQ(patch.object_requests(), 0u);
    EXPECT_EQ(test::snapshot_tree(patch.served.client.root(), {.folders = true, .skip = {".launcher"}}), before);
    EXPECT_FALSE(fs::exists(patch.check.transaction_dir / "journal.json"));
  }
}

// Release data names one file whatever the case of its letters; on a disk
// that tells cases apart, the file of the old spelling is backed up and set
// aside like a replaced one, so the client holds the release's name alone,
// and a rollback brings the old name back.
TEST(Apply, AFileRenamedOnlyInCaseEndsUnderTheReleasesNameAloneAndARollbackBringsTheOldOneBack) {
  for (const bool rolled_back : {false, true}) {
    SCOPED_TRACE(rolled_back ? "rolled back" : "installed");
    ServedClient served;
    const auto& one = served.client.publish(1, {{"bin/game.exe", "game"}, {"Docs/ReadMe.TXT", "read me, v1"}});
    const auto& two = served.client.publish(2, {{"bin/game.exe", "game"}, {"Docs/readme.txt", "read me, v2"}});
    served.client.place(one);
    served.serve(two);
    const test::TreeSnapshot before = served.client.client_tree();
    auto check = prepare(served.config(), false, CancelFlag{}, LineSink::discard());
    ASSERT_TRUE(check) << check.error().to_string();
    // Stopped once the old spelling is set aside and the new file verified.
    CancelFlag cancel;
    test::RecordingSink sink([&](const std::string& line) {
      if (rolled_back && line.find("ตรวจหลังติดตั้ง Docs/readme.txt") != std::string::npos) cancel.cancel();
    });
    const auto applied = apply(served.config(), *check, cancel, sink.sink());
    if (!rolled_back) {
      ASSERT_TRUE(applied) << applied.error().to_string();
      test::TreeSnapshot expected = before;
      expected.erase("Docs/ReadMe.TXT");
      expected["Docs/readme.txt"] = test::snapshot_file_entry(0644, "read me, v2");
      EXPECT_EQ(served.client.client_tree(), expected);
    } else {
      ASSERT_FALSE(applied);
      EXPECT_EQ(applied.error().to_string(), "cancelled before commit");
      EXPECT_EQ(served.client.client_tree(), before);
      EXPECT_EQ(test::journal_of(check->transaction_dir).phase, "rolled-back");
      // The old spelling was an operation of the install: it went into the
      // backup and came back from there.
      const auto operations = test::journal_of(check->transaction_dir).operations;
      EXPECT_EQ(operations.back(), (Operation{"Docs/ReadMe.TXT", true, true}));
    }
  }
}


// A small ext4 file system of its own, on a loop device, for one test; where
// this system will not make or mount one, `reason` says why.
class LoopFileSystem {
 public:
  explicit LoopFileSystem(std::uint64_t bytes) {
    const fs::path image = scratch_ / "disk.img";
    fs::create_directories(mount_point_);
    std::ofstream(image).close();
    fs::resize_file(image, bytes);
    std::string mkfs;
    for (const char* candidate : {"/usr/sbin/mkfs.ext4", "/sbin/mkfs.ext4"}) {
      if (fs::exists(candidate)) mkfs = candidate;
    }
    if (mkfs.empty()) {
      reason_ = "mkfs.ext4 is not installed";
      return;
    }
    // No blocks reserved for root, so that what is free is what the engine sees.
    if (const auto made = test::run_child({mkfs, "-q", "-F", "-m", "0", image.string()}); made.exit_code != 0) {
      reason_ = "mkfs.ext4 failed: " + made.output;
      return;
    }
    if (const auto mounted = test::run_child({"mount", "-o", "loop", image.string(), mount_point_.string()});
        mounted.exit_code != 0) {
      reason_ = "mounting a loop file system is refused here: " + mounted.output;
      return;
    }
    mounted_ = true;
  }
  ~LoopFileSystem() {
    if (mounted_) ::umount2(mount_point_.c_str(), MNT_DETACH);
  }
  LoopFileSystem(const LoopFileSystem&) = delete;
  LoopFileSystem& operator=(const LoopFileSystem&) = delete;

  bool mounted() const { return mounted_; }
  const std::string& reason() const { return reason_; }
  const fs::path& path() const { return mount_point_; }
  std::uint64_t available() const { return fs::space(mount_point_).available; }
  // Takes `bytes` of the file system for real (no sparse file) in the new
  // file `name`.
  void take(const std::string& name, std::uint64_t bytes) const {
    const int fd = ::open((mount_point_ / name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::posix_fallocate(fd, 0, static_cast<off_t>(bytes)), 0);
    ::close(fd);
  }

 private:
  test::TempDir scratch_;
  fs::path mount_point_ = scratch_ / "disk";
  bool mounted_ = false;
  std::string reason_;
};

// An install that ran out of disk rolls back; the verified objects stay in
// its folder. Once the space is back, a new check's install moves them in
// (they take no room twice, and the need counts only what is still to be
// written), succeeds without fetching them again, and reclaims the
// rolled-back folder.
TEST(Apply, AnInstallThatRanOutOfDiskIsRetriedOnceTheSpaceIsBack) {
  constexpr std::uint64_t kMiB = 1 << 20;
  LoopFileSystem disk(200 * kMiB);
  if (!disk.mounted()) GTEST_SKIP() << disk.reason();
  {
    ServedClient served(disk.path() / "base");
    const std::vector<ClientFile> old_files = {
        {"bin/game.exe", "game"}, {"data/a.pak", "old a"}, {"data/b.pak", "old b"}, {"data/c.pak", "old c"}};
    std::vector<ClientFile> new_files = {{"bin/game.exe", "game"}};
    for (const char* name : {"a", "b", "c"}) {
      new_files.push_back({fmt::format("data/{}.pak", name), test::noise_bytes(8 * kMiB, name[0])});
    }
    const auto& one = served.client.publish(1, old_files);
    const auto& two = served.client.publish(2, new_files);
    served.client.place(one);
    served.serve(two);
    const test::TreeSnapshot old_tree = served.client.client_tree();

    auto first = prepare(served.config(), false, CancelFlag{}, LineSink::discard());
    ASSERT_TRUE(first) << first.error().to_string();
    const std::uint64_t plain = 24 * kMiB;
    const std::uint64_t objects = first->plan.download_bytes;
    // Room for the install with 12 MiB to spare, as the need counted it.
    const std::uint64_t room = plain + objects + 64 * kMiB + 12 * kMiB;
    ASSERT_GT(disk.available(), room);
    disk.take("ballast", disk.available() - room);

    // Another program fills the disk while the objects are verified, and
    // lets go of a little of it as the install fails: the rollback needs a
    // few blocks for the folders it sets the new file aside in.
    test::RecordingSink filling([&](const std::string& line) {
      if (line == "Closing this client's game processes...") {
        disk.take("filler", disk.available() - 2 * kMiB);
        disk.take("breath", kMiB);
      } else if (line.starts_with("install data/")) {
        fs::remove(disk.path() / "breath");
      }
    });
    const auto full = apply(served.config(), *first, CancelFlag{}, filling.sink());
    ASSERT_FALSE(full);
    EXPECT_NE(full.error().to_string().find("No space left on device (os error 28)"), std::string::npos)
        << full.error().to_string();
    EXPECT_EQ(test::journal_of(first->transaction_dir).phase, "rolled-back");
    EXPECT_EQ(served.client.client_tree(), old_tree);

    fs::remove(disk.path() / "filler");
    served.server.clear_requests();
    auto second = prepare(served.config(), false, CancelFlag{}, LineSink::discard());
    ASSERT_TRUE(second) << second.error().to_string();
    // What the old count asked for no longer fits; what is still to be written does.
    ASSERT_LT(disk.available(), plain + objects + 64 * kMiB);
    const auto retried = apply(served.config(), *second, CancelFlag{}, LineSink::discard());
    ASSERT_TRUE(retried) << retried.error().to_string();

    test::TreeSnapshot new_tree = old_tree;  // the game is the same in both
    for (const auto& file : new_files) {
      if (file.path != "bin/game.exe") new_tree[file.path] = test::snapshot_file_entry(0644, file.content);
    }
    EXPECT_EQ(served.client.client_tree(), new_tree);
    std::size_t object_requests = 0;
    for (const auto& request : served.server.requests()) object_requests += request.target.starts_with("/objects/");
    EXPECT_EQ(object_requests, 0u);
    EXPECT_TRUE(served.transactions().empty());
  }
}

}  // namespace
}  // namespace qv
