// Transaction removal over file systems mounted inside a transaction folder.
// The mounts are made in a child with a mount namespace of its own, so they
// end with the child whatever happens; where the system refuses to mount,
// the tests are skipped.
#include <filesystem>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "core/foundations/fileops.hpp"
#include "core/foundations/paths.hpp"
#include "platform/tree.hpp"
#include "support/child_process.hpp"
#include "support/mount_namespace.hpp"
#include "support/temp_dir.hpp"

namespace qv {
namespace {

namespace fs = std::filesystem;

std::string outcome(const Status& s) { return s ? "ok" : s.error().to_string(); }

std::string joined(const std::vector<std::string>& texts) {
  std::string out;
  for (const auto& text : texts) out += (out.empty() ? "" : " | ") + text;
  return out;
}

// Mounts over `target` in the transaction folder `folder` of the client at
// `root` (a tmpfs holding "object.qvp", or the folder `outside` bound there),
// then tries every way of removing the transaction and says what each did
// and what is left inside the mount.
QV_CHILD_MODE(remove_over_mount) {
  const std::string& kind = args.at(0);
  const fs::path root = args.at(1);
  const fs::path folder = args.at(2);
  const fs::path target = args.at(3);
  if (auto refused = test::enter_private_mount_namespace()) {
    test::child_say("skip: " + *refused);
    return 0;
  }
  auto mount = kind == "tmpfs" ? test::ScopedMount::tmpfs(target) : test::ScopedMount::bind(args.at(4), target);
  if (!mount) {
    test::child_say("skip: " + mount.error());
    return 0;
  }
  const fs::path inside = target / (kind == "tmpfs" ? "object.qvp" : "precious");
  if (kind == "tmpfs") test::write_file(inside, "data");
  const fs::path markers = root / ".launcher/state/cleanup-pending";
  const auto said_inside = [&] {
    test::child_say("inside: " + (fs::exists(inside) ? test::read_file(inside) : "gone"));
  };

  test::child_say("cleanup: " + outcome(cleanup_transaction(root, folder)));
  std::error_code ec;
  test::child_say(fmt::format("markers: {}", fs::exists(markers, ec) ? "folder" : "none"));
  said_inside();
  // A removal left pending (its marker written by an earlier run) is refused
  // the same way, and keeps its marker.
  const std::string id = folder.filename().string();
  test::write_file(markers / (id + ".json"), R"({"pending":true})");
  const auto pending = process_cleanup_pending(root);
  test::child_say("pending: " + (pending ? joined(*pending) : pending.error().to_string()));
  test::child_say(fmt::format("marker kept: {}", fs::exists(markers / (id + ".json"))));
  said_inside();
  // The removal itself never enters another file system either.
  test::child_say("removal: " + outcome(platform::remove_tree_no_follow(folder)));
  said_inside();
  return 0;
}

struct MountCase {
  const char* kind;
  const char* target;  // below the transaction folder
};

TEST(CleanupTransaction, NeverRemovesWhatIsMountedInsideATransaction) {
  for (const auto& c : {MountCase{"tmpfs", "downloads"}, MountCase{"bind", "backup/data"}}) {
    SCOPED_TRACE(c.kind);
    test::TempDir client;
    test::TempDir outside;
    test::write_file(outside / "precious", "data");
    const std::string id = random_hex_id();
    const fs::path folder = client / ".launcher/transactions" / id;
    const fs::path target = folder / c.target;
    test::write_file(folder / "journal.json", "{}");
    fs::create_directories(target);

    const auto ended = test::run_self("remove_over_mount", {c.kind, client.path().string(), folder.string(),
                                                            target.string(), outside.path().string()});
    ASSERT_EQ(ended.exit_code, 0) << ended.output;
    if (ended.output.starts_with("skip: ")) GTEST_SKIP() << ended.output;
    const std::string refused = fmt::format("reparse point rejected: {}", target.string());
    const std::string expected = fmt::format(
        "cleanup: {0}\nmarkers: none\ninside: data\npending: Cleanup pending for {1}: {0}\nmarker kept: true\n"
        "inside: data\nremoval: Invalid cross-device link (os error 18)\ninside: data\n",
        refused, id);
    EXPECT_EQ(ended.output, expected);
    EXPECT_EQ(test::read_file(outside / "precious"), "data");
    EXPECT_TRUE(fs::exists(target));
  }
}

}  // namespace
}  // namespace qv
