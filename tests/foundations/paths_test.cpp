#include "core/foundations/paths.hpp"

#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <set>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "support/child_process.hpp"
#include "support/mount_namespace.hpp"
#include "support/temp_dir.hpp"

namespace qv {
namespace {

using test::TempDir;

std::string outcome(const Status& s) { return s ? "ok" : s.error().to_string(); }

TEST(ValidateRelativePath, Grammar) {
  const std::string longest = std::string(19997, 'a') + "/b";  // 19999 bytes
  const std::string too_long = std::string(19998, 'a') + "/b";
  struct Case {
    std::string path;
    std::string expected;
  };
  const Case cases[] = {
      {"data/file.pak", "ok"},
      {longest, "ok"},
      {too_long, "invalid relative path: " + too_long},
      {"", "invalid relative path: "},
      {"/abs", "invalid relative path: /abs"},
      {"a\\b", "invalid relative path: a\\b"},
      {"a//b", "invalid component: "},
      {"a/", "invalid component: "},
      {"./a", "invalid component: ."},
      {"a/../b", "invalid component: .."},
      {"a/b.", "invalid component: b."},
      {"a /b", "invalid component: a "},
      {"a/b:c", "invalid component: b:c"},
      {"what?", "invalid component: what?"},
      {"x*", "invalid component: x*"},
      {"a\"b", "invalid component: a\"b"},
      {"a<b", "invalid component: a<b"},
      {"a|b", "invalid component: a|b"},
      {"tab\there", "invalid component: tab\there"},
      {"del\x7f", "ok"},
      {"\xe0\xb8\x94\xe0\xb8\xb2\xe0\xb8\xa7/\xc3\xa9t\xc3\xa9", "ok"},
      // Device names by their stem, ASCII case ignored.
      {"con", "reserved Windows name"},
      {"Con.txt", "reserved Windows name"},
      {"nul.tar.gz", "reserved Windows name"},
      {"lpt9", "reserved Windows name"},
      {"COM\xc2\xb9", "reserved Windows name"},
      {"lpt\xc2\xb3.log", "reserved Windows name"},
      {"CONIN$", "reserved Windows name"},
      {"clock$.x", "reserved Windows name"},
      {"dir/aux/file", "reserved Windows name"},
      {"com0", "ok"},
      {"com10", "ok"},
      {"console", "ok"},
      {"con .txt", "ok"},
      {".con", "ok"},
      {"COM\xc2\xb4", "ok"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(outcome(validate_relative_path(c.path)), c.expected) << c.path.substr(0, 40);
  }
}

TEST(CheckReservedPath, WholePathAfterLowerCasing) {
  struct Case {
    std::string path;
    std::string expected;
  };
  const Case cases[] = {
      {".launcher", "reserved launcher path"},
      {".LAUNCHER/x", "reserved launcher path"},
      {"LAUNCHER.EXE", "reserved launcher path"},
      {"launcherupdater.EXE", "reserved launcher path"},
      {"Launcher.json", "reserved launcher path"},
      {"Builder.json", "reserved launcher path"},
      // Text beyond ASCII takes the full lower-casing: below the reserved
      // folder it is still refused, and a capital dotted I lower-cases to
      // "i" and a combining dot, which names no reserved file.
      {".LAUNCHER/\xc3\x9c", "reserved launcher path"},
      {"BU\xc4\xb0LDER.json", "ok"},
      {"sub/launcher.exe", "ok"},
      {".launcherx", "ok"},
      {"sub/.launcher", "ok"},
      {"a//b", "invalid component: "},  // the grammar comes first
  };
  for (const auto& c : cases) EXPECT_EQ(outcome(check_reserved_path(c.path)), c.expected) << c.path;
}

TEST(RejectReparsePoints, LinksOnTheWayAreRefusedMissingTailsPass) {
  TempDir dir;
  std::filesystem::create_directories(dir / "real/inner");
  std::filesystem::create_directory_symlink(dir / "real", dir / "link");
  std::filesystem::create_symlink(dir / "nowhere", dir / "dangling");
  EXPECT_EQ(outcome(reject_reparse_points(dir / "real/inner/missing/deeper")), "ok");
  EXPECT_EQ(outcome(reject_reparse_points(dir / "link/inner")),
            fmt::format("reparse point rejected: {}", (dir / "link").string()));
  EXPECT_EQ(outcome(reject_reparse_points(dir / "dangling")),
            fmt::format("reparse point rejected: {}", (dir / "dangling").string()));
  test::write_file(dir / "file", "x");
  // A prefix that is a file makes the rest "not found": nothing there to refuse.
  EXPECT_EQ(outcome(reject_reparse_points(dir / "file/below")), "ok");
}

TEST(JoinChecked, JoinsAndRefusesLinks) {
  TempDir dir;
  auto joined = join_checked(dir.path(), ".launcher/state/errors.txt");
  ASSERT_TRUE(joined);
  EXPECT_EQ(*joined, dir / ".launcher/state/errors.txt");
  EXPECT_EQ(join_checked(dir.path(), "../x").error().to_string(), "invalid component: ..");
  std::filesystem::create_directory_symlink("/tmp", dir / ".launcher");
  EXPECT_EQ(join_checked(dir.path(), ".launcher/state").error().to_string(),
            fmt::format("reparse point rejected: {}", (dir / ".launcher").string()));
}

TEST(ResolveWriteRoot, CanonicalAndNeverProtected) {
  TempDir dir;
  std::filesystem::create_directories(dir / "c/sub");
  auto root = resolve_write_root(dir / "c/sub/..");
  ASSERT_TRUE(root);
  EXPECT_EQ(*root, dir / "c");
  for (const char* name : {"QVONLINE PRISTINE", "qvonline variant"}) {
    std::filesystem::create_directories(dir / name / "client");
    EXPECT_EQ(resolve_write_root(dir / name / "client").error().to_string(),
              "immutable original/comparison client cannot be a write target");
  }
  std::filesystem::create_directories(dir / "my qvonline variant");
  EXPECT_TRUE(resolve_write_root(dir / "my qvonline variant"));
  EXPECT_EQ(resolve_write_root(dir / "absent").error().to_string(), "No such file or directory (os error 2)");
  // A link to a protected folder is refused as a link before it is followed.
  std::filesystem::create_directory_symlink(dir / "qvonline variant", dir / "alias");
  EXPECT_EQ(resolve_write_root(dir / "alias").error().to_string(),
            fmt::format("reparse point rejected: {}", (dir / "alias").string()));
}

TEST(ResolvePhysicalPath, NearestAncestorMustStayInsideAndUnreserved) {
  TempDir dir;
  const auto root = dir / "client";
  std::filesystem::create_directories(root / "data");
  std::filesystem::create_directories(root / ".launcher/state");
  std::filesystem::create_directories(dir / "outside");

  auto fresh = resolve_physical_path(root, "data/new/deeper/file.bin");
  ASSERT_TRUE(fresh) << fresh.error().to_string();
  EXPECT_EQ(*fresh, root / "data/new/deeper/file.bin");

  EXPECT_EQ(resolve_physical_path(root, ".launcher/x").error().to_string(), "reserved launcher path");
  EXPECT_EQ(resolve_physical_path(root, "a/../b").error().to_string(), "invalid component: ..");

  std::filesystem::create_directory_symlink(dir / "outside", root / "escape");
  EXPECT_EQ(resolve_physical_path(root, "escape/file").error().to_string(),
            fmt::format("reparse point rejected: {}", (root / "escape").string()));

  // A root given through a path that is not canonical still works.
  auto via = resolve_physical_path(root / "data/..", "data/x");
  ASSERT_TRUE(via) << via.error().to_string();
}

// The cache gives resolve_physical_path's answer for every path, twice over
// (the second time from what it has seen), under a plain root and under a
// root reached through a link, where it takes the long way.
TEST(PhysicalPathCache, AnswersAsResolvePhysicalPath) {
  TempDir dir;
  const auto root = dir / "client";
  std::filesystem::create_directories(root / "data/sub");
  std::filesystem::create_directories(root / "launcher.exe");
  std::filesystem::create_directories(dir / "outside");
  std::filesystem::create_directory_symlink(dir / "outside", root / "escape");
  std::filesystem::create_symlink(dir / "outside", root / "data/link");
  std::filesystem::create_directory_symlink(root, dir / "via-link");
  std::ofstream(root / "data/file.bin") << "x";
  const char* paths[] = {"data/file.bin", "data/sub/new.bin", "data/new/deeper/file.bin", "escape/file", "data/link",
                         "data/file.bin/below", "launcher.exe/x", ".launcher/x", "a/../b", "top.bin"};
  for (const auto& base : {root, dir / "via-link"}) {
    PhysicalPathCache cache(base);
    for (int round = 0; round < 2; ++round) {
      for (const char* path : paths) {
        SCOPED_TRACE(fmt::format("{} under {}, round {}", path, base.string(), round));
        const auto expected = resolve_physical_path(base, path);
        const auto cached = cache.resolve(path);
        ASSERT_EQ(cached.has_value(), expected.has_value());
        // examine() answers alike, with what stands at the path itself.
        const auto examined = cache.examine(path);
        ASSERT_EQ(examined.has_value(), expected.has_value());
        if (expected) {
          EXPECT_EQ(*cached, *expected);
          const auto there = platform::lstat_path(*expected);
          ASSERT_EQ(examined->has_value(), there.has_value());
          if (there) {
            EXPECT_TRUE((*examined)->same_file_as(*there));
          }
        } else {
          EXPECT_EQ(cached.error().to_string(), expected.error().to_string());
          EXPECT_EQ(examined.error().to_string(), expected.error().to_string());
        }
      }
    }
  }
}

// Mounts a tmpfs on the folder "disk" of the client at args[0], binds its
// folder "elsewhere" onto "bound" and its file "other.txt" onto "plain.txt"
// (mounts of the same file system, on the same device), then says how each
// way of naming a client path answers.
QV_CHILD_MODE(paths_over_mounts) {
  const std::filesystem::path root = args.at(0);
  if (auto refused = test::enter_private_mount_namespace()) {
    test::child_say("skip: " + *refused);
    return 0;
  }
  auto disk = test::ScopedMount::tmpfs(root / "disk");
  auto bound = test::ScopedMount::bind(root / "elsewhere", root / "bound");
  auto file = test::ScopedMount::bind(root / "other.txt", root / "plain.txt");
  for (const auto* mount : {&disk, &bound, &file}) {
    if (!*mount) {
      test::child_say("skip: " + mount->error());
      return 0;
    }
  }
  const auto said = [](const std::string& what, const auto& result) {
    test::child_say(what + ": " + (result ? "ok" : result.error().to_string()));
  };
  PhysicalPathCache cache(root);
  for (const char* path : {"disk", "disk/new/file", "bound/file", "plain.txt", "data/file"}) {
    said(fmt::format("join {}", path), join_checked(root, path));
    said(fmt::format("resolve {}", path), resolve_physical_path(root, path));
    said(fmt::format("cache {}", path), cache.resolve(path));
  }
  // A client on a disk of its own lies below a mount point, and a path alone
  // cannot tell the machine's mounts from one planted in a client.
  said("join below the disk", join_checked(root / "disk", "file"));
  said("path through the disk", reject_reparse_points(root / "disk/file"));
  return 0;
}

TEST(JoinChecked, NothingBelowTheRootLiesOnAnotherMount) {
  TempDir dir;
  const auto root = dir / "client";
  for (const char* folder : {"disk", "elsewhere", "bound", "data"}) std::filesystem::create_directories(root / folder);
  test::write_file(root / "other.txt", "other");
  test::write_file(root / "plain.txt", "plain");
  const auto ended = test::run_self("paths_over_mounts", {root.string()});
  ASSERT_EQ(ended.exit_code, 0) << ended.output;
  if (ended.output.starts_with("skip: ")) GTEST_SKIP() << ended.output;
  std::string expected;
  for (const char* path : {"disk", "disk/new/file", "bound/file", "plain.txt"}) {
    const std::string mount = std::string(path).substr(0, std::string(path).find('/'));
    for (const char* way : {"join", "resolve", "cache"}) {
      expected += fmt::format("{} {}: reparse point rejected: {}\n", way, path, (root / mount).string());
    }
  }
  expected += "join data/file: ok\nresolve data/file: ok\ncache data/file: ok\n";
  expected += "join below the disk: ok\npath through the disk: ok\n";
  EXPECT_EQ(ended.output, expected);
}

// A file the cache examined is opened for reading from the root's handle,
// never through a link put in its place.
TEST(PhysicalPathCache, OpensExaminedFilesWithoutFollowingALink) {
  TempDir dir;
  const auto root = dir / "client";
  test::write_file(root / "data/file.bin", "content");
  // A root written with a trailing separator is not the canonical one: the
  // cache takes the long way there.
  for (const auto& base : {root, root / ""}) {
    PhysicalPathCache cache(base);
    ASSERT_TRUE(cache.examine("data/file.bin"));
    auto fd = cache.open_for_reading("data/file.bin");
    ASSERT_TRUE(fd) << fd.error().to_string();
    char bytes[16] = {};
    EXPECT_EQ(::read(fd->get(), bytes, sizeof bytes), 7);
    EXPECT_EQ(std::string(bytes), "content");
  }
  std::filesystem::rename(root / "data/file.bin", root / "data/moved.bin");
  std::filesystem::create_symlink(root / "data/moved.bin", root / "data/file.bin");
  PhysicalPathCache cache(root);
  EXPECT_EQ(cache.open_for_reading("data/file.bin").error().os_code(), ELOOP);
}

TEST(ResolvePhysicalPath, MissingRootIsTheCanonicalisationError) {
  TempDir dir;
  EXPECT_EQ(resolve_physical_path(dir / "nowhere", "file").error().to_string(),
            "No such file or directory (os error 2)");
}

TEST(RandomHexId, FormAndFreshness) {
  std::set<std::string> seen;
  for (int i = 0; i < 64; ++i) {
    std::string id = random_hex_id();
    ASSERT_EQ(id.size(), 32u);
    for (char c : id) EXPECT_TRUE((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')) << id;
    EXPECT_TRUE(is_hex_id(id));
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 64u);
  EXPECT_TRUE(is_hex_id("0123456789ABCDEFabcdef0123456789"));
  EXPECT_FALSE(is_hex_id(std::string(31, 'a')));
  EXPECT_FALSE(is_hex_id(std::string(33, 'a')));
  EXPECT_FALSE(is_hex_id(std::string(31, 'a') + "g"));
}

TEST(PathWithin, ComparesWholeComponents) {
  EXPECT_TRUE(path_within("/a/b/c", "/a/b"));
  EXPECT_TRUE(path_within("/a/b", "/a/b"));
  EXPECT_TRUE(path_within("/a/b", "/a/b/"));
  EXPECT_FALSE(path_within("/a/bc", "/a/b"));
  EXPECT_FALSE(path_within("/a", "/a/b"));
  EXPECT_FALSE(path_within("/A/b", "/a/b"));
}

}  // namespace
}  // namespace qv
