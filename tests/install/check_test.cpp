#include "core/install/check.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/foundations/lock.hpp"
#include "core/install/journal.hpp"
#include "support/install_fixture.hpp"
#include "support/recording_sink.hpp"
#include "support/release_builder.hpp"
#include "support/served_client.hpp"
#include "support/temp_dir.hpp"

namespace qv {
namespace {

namespace fs = std::filesystem;
using test::ClientFile;
using test::PublishedRelease;

const std::vector<ClientFile> kFilesA = {{"bin/game.exe", "game v1"}, {"data/a.txt", "alpha"}, {"b.txt", "bravo"}};
const std::vector<ClientFile> kFilesB = {{"bin/game.exe", "game v2"}, {"data/a.txt", "alpha"}, {"c.txt", "charlie"}};

using test::ServedClient;

enum class Placed { Nothing, Files, FilesAndState };

// Release 1 of kFilesA published and served, the client holding what
// `placed` says, and a quick check of it that must succeed.
PreparedCheck checked_release_one(ServedClient& served, Placed placed, bool retain = false) {
  const auto& one = served.client.publish(1, kFilesA);
  if (placed != Placed::Nothing) served.client.place(one, placed == Placed::FilesAndState);
  served.serve(one);
  auto check = prepare(served.config(retain), false, CancelFlag{}, LineSink::discard());
  if (!check) throw std::runtime_error("prepare: " + check.error().to_string());
  return *check;
}

Result<PreparedCheck> run_prepare(const ServedClient& served, bool full, test::RecordingSink& sink,
                                  bool retain = false) {
  return prepare(served.config(retain), full, CancelFlag{}, sink.sink());
}

TEST(Prepare, FetchesVerifiesAndPlansIntoANewTransactionFolder) {
  ServedClient served;
  const auto& release = served.client.publish(3, kFilesA);
  served.serve(release);
  test::RecordingSink sink;
  const auto check = run_prepare(served, false, sink);
  ASSERT_TRUE(check) << check.error().to_string();

  EXPECT_EQ(check->root, served.client.root());
  EXPECT_EQ(check->transaction_dir.parent_path(), served.client.root() / ".launcher/transactions");
  EXPECT_EQ(check->transaction_dir.filename().string().size(), 32u);
  EXPECT_EQ(check->manifest, release.manifest);
  EXPECT_EQ(check->plan.download, (std::vector<std::uint32_t>{0, 1, 2}));
  EXPECT_TRUE(check->plan.full_scan);  // no installed state
  EXPECT_EQ(test::read_file(check->transaction_dir / "manifest.qvm"), test::as_text(release.envelope));
  EXPECT_EQ(test::read_file(check->transaction_dir / "plan.json"), write_plan_json(check->plan));

  const auto progress = sink.progress();
  ASSERT_GE(progress.size(), 3u);
  EXPECT_EQ(progress.front(), "Manifest 0/- ");
  const std::string size = std::to_string(release.envelope.size());
  const auto signature = std::find(progress.begin(), progress.end(), "Manifest " + size + "/" + size + " ตรวจลายเซ็นแล้ว");
  ASSERT_NE(signature, progress.end());
  // Then one Check record before the first file and one after each.
  EXPECT_EQ(progress.end() - signature - 1, 4);
  EXPECT_EQ(progress.back(), "Check 3/3 b.txt");
  EXPECT_EQ(sink.status_lines(), (std::vector<std::string>{"Checking client files..."}));
}

TEST(Prepare, ReleaseOrderRulesAreRecordedAndTheFolderStays) {
  struct Case {
    const char* name;
    std::uint64_t installed;
    std::uint64_t published;
    bool same_files;
    std::uint32_t min_launcher;
    const char* error;
  };
  const Case cases[] = {
      {"launcher gate", 0, 6, true, 5, "launcher update required before game patch"},
      {"rollback", 7, 6, true, 1, "release rollback rejected"},
      {"same release differs", 7, 7, false, 1, "same release ID has different contents"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ServedClient served;
    if (c.installed != 0) served.client.place(served.client.publish(c.installed, kFilesA));
    test::PublishFolder folder(served.dir / "published", served.client.keys());
    for (const auto& file : c.same_files ? kFilesA : kFilesB) folder.add_file(file.path, test::bytes_source(file.content));
    folder.manifest().release = c.published;
    folder.manifest().min_launcher = c.min_launcher;
    folder.write_manifest();
    served.server.serve_folder(folder.dir());

    test::RecordingSink sink;
    const auto check = run_prepare(served, false, sink);
    ASSERT_FALSE(check);
    EXPECT_EQ(check.error().to_string(), c.error);
    EXPECT_NE(served.log().find(std::string(" prepare]\n") + c.error + "\n"), std::string::npos) << served.log();
    const auto folders = served.transactions();
    ASSERT_EQ(folders.size(), 1u);
    EXPECT_TRUE(fs::exists(folders[0] / "manifest.qvm"));
    EXPECT_FALSE(fs::exists(folders[0] / "plan.json"));
    // The lock was released.
    auto lock = acquire_client_lock(served.client.root());
    EXPECT_TRUE(lock) << lock.error().to_string();
  }
}

TEST(Prepare, AnEqualReleaseWithEqualContentsPassesAndAHigherOneToo) {
  ServedClient served;
  const auto& seven = served.client.publish(7, kFilesA);
  served.client.place(seven);
  served.serve(seven);
  test::RecordingSink sink;
  const auto same = run_prepare(served, false, sink);
  ASSERT_TRUE(same) << same.error().to_string();
  EXPECT_TRUE(same->plan.nothing_to_do());
  EXPECT_FALSE(same->plan.full_scan);

  served.server.clear_scripts();
  served.serve(served.client.publish(8, kFilesB, {"b.txt"}));
  const auto higher = run_prepare(served, false, sink);
  ASSERT_TRUE(higher) << higher.error().to_string();
  EXPECT_EQ(higher->plan.download, (std::vector<std::uint32_t>{0, 2}));
  EXPECT_EQ(higher->plan.delete_, (std::vector<std::string>{"b.txt"}));
}

TEST(FinishCheck, APlanWithWorkAnswersAtOnceWithoutTheLock) {
  ServedClient served;
  const auto check = std::optional(checked_release_one(served, Placed::Nothing));
  auto held = acquire_client_lock(served.client.root());
  ASSERT_TRUE(held);
  const auto ready = finish_check(served.config(), *check, LineSink::discard());
  ASSERT_TRUE(ready) << ready.error().to_string();
  EXPECT_FALSE(*ready);
  EXPECT_TRUE(fs::exists(check->transaction_dir / "plan.json"));
  EXPECT_TRUE(fs::exists(check->transaction_dir / "manifest.qvm"));
}

TEST(FinishCheck, NothingToDoRecordsTheReleaseAndRemovesTheFolder) {
  ServedClient served;
  const auto& one = served.client.publish(1, kFilesA);
  served.client.place(one, false);  // files right, no state: a full scan
  served.serve(one);
  test::RecordingSink sink;
  const auto check = run_prepare(served, false, sink);
  ASSERT_TRUE(check);
  ASSERT_TRUE(check->plan.nothing_to_do());
  test::RecordingSink finish_sink;
  const auto ready = finish_check(served.config(), *check, finish_sink.sink());
  ASSERT_TRUE(ready) << ready.error().to_string();
  EXPECT_TRUE(*ready);
  EXPECT_EQ(test::read_file(served.client.root() / ".launcher/state/manifest.qvm"), test::as_text(one.envelope));
  EXPECT_FALSE(fs::exists(check->transaction_dir));
  EXPECT_TRUE(finish_sink.lines().empty());  // the confirming re-plan is silent
}

TEST(FinishCheck, AFileRemovedSinceTheCheckIsFoundAndNothingIsWritten) {
  ServedClient served;
  const auto check = std::optional(checked_release_one(served, Placed::Files));
  test::RecordingSink sink;
  ASSERT_TRUE(check->plan.nothing_to_do());
  fs::remove(served.client.root() / "data/a.txt");
  const auto ready = finish_check(served.config(), *check, sink.sink());
  ASSERT_TRUE(ready) << ready.error().to_string();
  EXPECT_FALSE(*ready);
  EXPECT_FALSE(fs::exists(served.client.root() / ".launcher/state/manifest.qvm"));
  EXPECT_TRUE(fs::exists(check->transaction_dir / "plan.json"));
}

TEST(FinishCheck, RetainNeverReportsReady) {
  ServedClient served;
  const auto check = std::optional(checked_release_one(served, Placed::FilesAndState, true));
  test::RecordingSink sink;
  ASSERT_TRUE(check->plan.nothing_to_do());
  const auto ready = finish_check(served.config(true), *check, sink.sink());
  ASSERT_TRUE(ready);
  EXPECT_FALSE(*ready);
  EXPECT_TRUE(fs::exists(check->transaction_dir));
  EXPECT_TRUE(discard_check(served.config(true), *check));
  EXPECT_TRUE(fs::exists(check->transaction_dir));
}

TEST(FinishCheck, RevalidationFailuresAreRecordedUnderFinishCheck) {
  struct Case {
    const char* name;
    const char* error;
  };
  for (const Case c : {Case{"manifest replaced", "prepared manifest changed"},
                       Case{"superseded", "prepared release superseded"},
                       Case{"same release differs", "same release ID has different contents"}}) {
    SCOPED_TRACE(c.name);
    ServedClient served;
    const auto check = std::optional(checked_release_one(served, Placed::FilesAndState));
    const auto& one = served.client.publish(1, kFilesA);
    test::RecordingSink sink;
    ASSERT_TRUE(check->plan.nothing_to_do());
    const std::string what = c.name;
    if (what == "manifest replaced") {
      test::write_file(check->transaction_dir / "manifest.qvm",
                       test::as_text(served.client.publish(2, kFilesA).envelope));
    } else if (what == "superseded") {
      served.client.place(served.client.publish(2, kFilesA));
    } else {
      served.client.place(served.client.publish(1, kFilesB));
      served.client.place(one, false);  // files of the check, state of the other release 1
    }
    const auto ready = finish_check(served.config(), *check, sink.sink());
    ASSERT_FALSE(ready);
    EXPECT_EQ(ready.error().to_string(), c.error);
    EXPECT_NE(served.log().find(std::string(" finish_check]\n") + c.error + "\n"), std::string::npos);
    EXPECT_TRUE(fs::exists(check->transaction_dir));
  }
}

TEST(CheckOperations, AClientRootThatNowResolvesElsewhereIsRefused) {
  ServedClient served;
  const auto check = std::optional(checked_release_one(served, Placed::FilesAndState));
  test::RecordingSink sink;
  ClientConfig moved = served.config();
  moved.root = served.dir / "elsewhere";
  fs::create_directories(moved.root);
  const auto ready = finish_check(moved, *check, sink.sink());
  ASSERT_FALSE(ready);
  EXPECT_EQ(ready.error().to_string(), "prepared client changed");
  const auto discarded = discard_check(moved, *check);
  ASSERT_FALSE(discarded);
  EXPECT_EQ(discarded.error().to_string(), "prepared client changed");
  EXPECT_TRUE(fs::exists(check->transaction_dir));
}

TEST(DiscardCheck, RemovesOnlyAFolderHoldingWhatACheckMakes) {
  struct Case {
    const char* name;
    void (*extra)(const fs::path& folder);
    bool removed;
    bool refused = false;  // a link below the folder is an error, not a reason to keep it silently
  };
  const Case cases[] = {
      {"plan and manifest", [](const fs::path&) {}, true},
      {"set-aside fragment",
       [](const fs::path& f) { test::write_file(f / "manifest.0123456789abcdef0123456789abcdef.manifest-fragment", "x"); },
       false},
      {"downloads folder", [](const fs::path& f) { fs::create_directories(f / "downloads/objects"); }, false},
      {"journal", [](const fs::path& f) { test::write_file(f / std::string(kJournalFile), "{}"); }, false},
      {"a link named plan.json",
       [](const fs::path& f) {
         fs::remove(f / "plan.json");
         fs::create_symlink("manifest.qvm", f / "plan.json");
       },
       false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ServedClient served;
    const auto check = std::optional(checked_release_one(served, Placed::Nothing));
    c.extra(check->transaction_dir);
    const auto discarded = discard_check(served.config(), *check);
    EXPECT_EQ(!fs::exists(check->transaction_dir), c.removed);
    if (c.refused) {
      ASSERT_FALSE(discarded);
      EXPECT_TRUE(discarded.error().to_string().starts_with("reparse point rejected: ")) << discarded.error().to_string();
      EXPECT_NE(served.log().find(" discard_check]\nreparse point rejected: "), std::string::npos);
      continue;
    }
    ASSERT_TRUE(discarded) << discarded.error().to_string();
    EXPECT_EQ(served.log(), "");
  }
}

TEST(DiscardCheck, AFolderAlreadyGoneSucceedsWithoutTheLock) {
  ServedClient served;
  const auto check = std::optional(checked_release_one(served, Placed::Nothing));
  fs::remove_all(check->transaction_dir);
  auto held = acquire_client_lock(served.client.root());
  ASSERT_TRUE(held);
  EXPECT_TRUE(discard_check(served.config(), *check));
}

}  // namespace
}  // namespace qv
