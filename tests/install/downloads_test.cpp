#include "core/install/downloads.hpp"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "core/foundations/paths.hpp"
#include "core/install/journal.hpp"
#include "core/install/sibling_objects.hpp"
#include "support/install_fixture.hpp"
#include "support/loopback_server.hpp"
#include "support/recording_sink.hpp"
#include "support/temp_dir.hpp"

namespace qv {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::size_t thread_count() {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& task : fs::directory_iterator("/proc/self/task")) ++n;
  return n;
}

// Whether the file holds exactly `expected`, without printing megabytes.
::testing::AssertionResult holds(const fs::path& path, const std::string& expected) {
  if (!fs::exists(path)) return ::testing::AssertionFailure() << path << " is missing";
  const std::string content = test::read_file(path);
  if (content == expected) return ::testing::AssertionSuccess();
  std::size_t at = 0;
  while (at < content.size() && at < expected.size() && content[at] == expected[at]) ++at;
  return ::testing::AssertionFailure() << path << " holds " << content.size() << " bytes, not the expected "
                                       << expected.size() << "; they differ from byte " << at;
}

test::Answer refused(int status) {
  test::Answer answer;
  answer.status = status;
  return answer;
}

// A body that pauses for 300 ms after its first `bytes`.
test::Answer stalled(std::uint64_t bytes) {
  test::Answer answer;
  answer.stall_after = bytes;
  answer.stall_for = 300ms;
  return answer;
}

// A sink that keeps every line and lets a test act on a line, on the
// downloading thread, without holding any lock a download needs: a hook may
// block while the other threads go on.
class Lines {
 public:
  std::function<void(const std::string&)> hook;

  const LineSink& sink() const { return sink_; }
  std::vector<std::string> all() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  std::vector<std::string> progress() const {
    std::vector<std::string> out;
    for (const auto& line : all()) {
      if (auto text = test::RecordingSink::progress_text(line)) out.push_back(*text);
    }
    return out;
  }
  std::vector<std::string> status() const {
    std::vector<std::string> out;
    for (const auto& line : all()) {
      if (!parse_progress_line(line)) out.push_back(line);
    }
    return out;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
  LineSink sink_{[this](std::string line) {
                   {
                     std::lock_guard lock(mutex_);
                     lines_.push_back(line);
                   }
                   if (hook) hook(line);
                 },
                 /*concurrent=*/true};
};

// A client with one published release whose objects a loopback server serves,
// and a transaction folder of a check made by hand.
class Downloads : public ::testing::Test {
 protected:
  Downloads() : client_(temp_.path()) {}

  // Publishes `files` and serves their objects.
  void publish(const std::vector<test::ClientFile>& files) {
    release_ = &client_.publish(1, files);
    server_.serve_folder(release_->dir);
    manifest_ = release_->manifest;
  }

  // The check that downloads the entries at `download`, in a new, empty
  // transaction folder.
  PreparedCheck check_of(std::vector<std::uint32_t> download) const {
    PreparedCheck check;
    check.root = client_.root();
    check.transaction_dir = transactions() / random_hex_id();
    check.manifest = manifest_;
    for (const auto index : download) check.plan.download_bytes += manifest_.files.at(index).object_bytes;
    check.plan.download = std::move(download);
    fs::create_directories(check.transaction_dir);
    return check;
  }

  ClientConfig config() const {
    ClientConfig config = client_.config();
    config.object_base_url = server_.url("/");
    return config;
  }

  // Looks at the other transaction folders and runs the four threads as apply
  // does; returns the error they left (or that of the look).
  std::optional<Error> run(const PreparedCheck& check, const CancelFlag& cancel = {}) {
    const auto siblings = list_sibling_transactions(check.transaction_dir);
    if (!siblings) return siblings.error();
    const ClientConfig settings = config();
    DownloadProgress progress(check.manifest, check.plan.download, check.plan.download_bytes, lines_.sink());
    DownloadContext context{.cancel = cancel,
                            .error_mutex = {},
                            .error = {},
                            .download = check.plan.download,
                            .manifest = check.manifest,
                            .check = check,
                            .config = settings,
                            .progress = progress,
                            .sink = lines_.sink(),
                            .siblings = *siblings};
    context_ = &context;
    spawn_download_workers(context);
    context_ = nullptr;
    return context.error;
  }

  // Blocks until the running downloads hold an error (or 20 s have passed).
  void wait_for_stored_error() const {
    for (int i = 0; i < 2000; ++i) {
      {
        std::lock_guard lock(context_->error_mutex);
        if (context_->error) return;
      }
      std::this_thread::sleep_for(10ms);
    }
    ADD_FAILURE() << "no error was stored";
  }

  fs::path transactions() const { return client_.root() / ".launcher/transactions"; }
  fs::path object_in(const PreparedCheck& check, const FileEntry& entry) const {
    return check.transaction_dir / "downloads" / entry.object;
  }
  std::string published(const FileEntry& entry) const { return test::read_file(release_->dir / entry.object); }
  std::string object_target(const FileEntry& entry) const { return "/" + entry.object; }

  test::TempDir temp_;
  test::ClientFixture client_;
  test::LoopbackServer server_;
  const test::PublishedRelease* release_ = nullptr;
  Manifest manifest_;
  Lines lines_;
  DownloadContext* context_ = nullptr;
};

TEST_F(Downloads, OneObjectIsFetchedByOneThreadAndAllFourAreJoined) {
  publish({{"bin/game.exe", test::noise_bytes(3'000'000, 1)}});
  const FileEntry& entry = manifest_.files[0];
  const auto check = check_of({0});
  const std::size_t threads_before = thread_count();

  EXPECT_FALSE(run(check));

  EXPECT_EQ(thread_count(), threads_before);
  EXPECT_TRUE(holds(object_in(check, entry), published(entry)));
  EXPECT_EQ(server_.request_count(), 1u);
  const auto progress = lines_.progress();
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.front(), fmt::format("Download 0/{} bin/game.exe", entry.object_bytes));
  EXPECT_EQ(progress.back(), fmt::format("Download {0}/{0} bin/game.exe", entry.object_bytes));
  const auto status = lines_.status();
  EXPECT_EQ(status.front(), fmt::format("Downloading bin/game.exe: 0/{} bytes", entry.object_bytes));
  EXPECT_EQ(status.back(), fmt::format("Downloading bin/game.exe: {0}/{0} bytes", entry.object_bytes));
  // One status line per progress record: the first one, then one per chunk.
  EXPECT_EQ(status.size(), progress.size());
}

TEST_F(Downloads, ManyObjectsArriveWholeAndEveryTotalIncludesAllEarlierUpdates) {
  std::vector<test::ClientFile> files;
  for (int i = 0; i < 9; ++i) files.push_back({fmt::format("data/{}.bin", i), test::noise_bytes(700'000 + i, i + 1)});
  publish(files);
  const auto check = check_of({0, 1, 2, 3, 4, 5, 6, 7, 8});

  EXPECT_FALSE(run(check));

  EXPECT_EQ(server_.request_count(), 9u);
  for (const auto& entry : manifest_.files) EXPECT_TRUE(holds(object_in(check, entry), published(entry)));
  std::uint64_t previous = 0;
  std::uint64_t last = 0;
  for (const auto& line : lines_.all()) {
    const auto record = parse_progress_line(line);
    if (!record) continue;
    EXPECT_GE(record->completed, previous) << line;
    EXPECT_EQ(record->total, check.plan.download_bytes);
    previous = last = record->completed;
  }
  EXPECT_EQ(last, check.plan.download_bytes);
}

TEST_F(Downloads, NothingToFetchOrCancelledBeforeTheFirstObjectSendsNothing) {
  publish({{"bin/game.exe", "game"}});
  EXPECT_FALSE(run(check_of({})));
  CancelFlag cancelled;
  cancelled.cancel();
  const auto check = check_of({0});
  EXPECT_FALSE(run(check, cancelled));

  EXPECT_TRUE(lines_.all().empty());
  EXPECT_EQ(server_.request_count(), 0u);
  EXPECT_FALSE(fs::exists(check.transaction_dir / "downloads"));
}

TEST_F(Downloads, AnObjectCompleteInThisTransactionIsReportedOnceAndNotRequested) {
  publish({{"bin/game.exe", test::noise_bytes(100'000)}});
  const FileEntry& entry = manifest_.files[0];
  const auto check = check_of({0});
  test::write_file(object_in(check, entry), published(entry));

  EXPECT_FALSE(run(check));

  EXPECT_EQ(server_.request_count(), 0u);
  EXPECT_EQ(lines_.progress(), std::vector<std::string>{fmt::format("Download {0}/{0} bin/game.exe", entry.object_bytes)});
  EXPECT_EQ(lines_.status(),
            std::vector<std::string>{fmt::format("Downloading bin/game.exe: {0}/{0} bytes", entry.object_bytes)});
}

// An object that another transaction folder holds is reused when it can only
// help: moved out of a folder that has settled (so a retry needs no room for a
// second copy), copied from one that has not (an install in flight, a
// retained one). A larger one or a complete one with another SHA-256 stays
// where it is, and the object is fetched from byte zero.
TEST_F(Downloads, AnObjectInAnotherTransactionIsMovedOrCopiedOnlyWhenItCanHelp) {
  publish({{"bin/game.exe", test::noise_bytes(2'000'000)}});
  const FileEntry& entry = manifest_.files[0];
  const std::string object = published(entry);
  std::string wrong = object;
  wrong[wrong.size() / 2] ^= 0x01;
  const std::size_t half = object.size() / 2;

  // The journal a sibling holds: none, or one in the given phase.
  auto with_journal = [](const fs::path& folder, const char* phase, bool retain) {
    test::write_file(folder / "journal.json",
                     journal_pretty_json(Journal{kJournalVersion, phase, false, {}, retain}));
  };
  struct Case {
    const char* name;
    std::string sibling;
    std::function<void(const fs::path&)> state;
    bool moved;
    std::size_t requests;
    std::optional<std::string> range;  // asked for by the one request
    std::uint64_t body_bytes;          // sent by the server
  };
  const auto settled = [](const fs::path&) {};
  const auto rolled_back = [&](const fs::path& f) { with_journal(f, "rolled-back", false); };
  const auto installing = [&](const fs::path& f) { with_journal(f, "installing", false); };
  const auto retained = [&](const fs::path& f) { with_journal(f, "complete", true); };
  const std::string partial = object.substr(0, half);
  const std::vector<Case> cases = {
      {"complete, the signed SHA-256, no journal", object, settled, true, 0, std::nullopt, 0},
      {"complete, the signed SHA-256, rolled back", object, rolled_back, true, 0, std::nullopt, 0},
      {"complete, the signed SHA-256, installing", object, installing, false, 0, std::nullopt, 0},
      {"complete, the signed SHA-256, retained", object, retained, false, 0, std::nullopt, 0},
      {"complete with another SHA-256", wrong, settled, false, 1, std::nullopt, object.size()},
      {"partial, settled", partial, settled, true, 1, fmt::format("bytes={}-", half), object.size() - half},
      {"partial, installing", partial, installing, false, 1, fmt::format("bytes={}-", half), object.size() - half},
      {"larger", object + "tail", settled, false, 1, std::nullopt, object.size()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    server_.clear_requests();
    const fs::path sibling = transactions() / random_hex_id();
    test::write_file(sibling / "downloads" / entry.object, c.sibling);
    c.state(sibling);
    const auto check = check_of({0});

    EXPECT_FALSE(run(check));

    EXPECT_TRUE(holds(object_in(check, entry), object));
    if (c.moved) {
      EXPECT_FALSE(fs::exists(sibling / "downloads" / entry.object));
    } else {
      EXPECT_TRUE(holds(sibling / "downloads" / entry.object, c.sibling));
    }
    const auto requests = server_.requests();
    ASSERT_EQ(requests.size(), c.requests);
    if (!requests.empty()) {
      EXPECT_EQ(requests[0].header("range"), c.range);
      EXPECT_EQ(requests[0].body_bytes, c.body_bytes);
    }
    fs::remove_all(sibling);
    fs::remove_all(check.transaction_dir);
  }
}

// Of several folders holding the object, the one that saves the most is
// taken whatever the listing order: a complete one before any part, a part
// before a shorter part.
TEST_F(Downloads, TheLongestHeldPartIsTakenWhereverItIsListed) {
  publish({{"bin/game.exe", test::noise_bytes(1'500'000)}});
  const FileEntry& entry = manifest_.files[0];
  const std::string object = published(entry);
  for (const std::size_t longest : {object.size(), object.size() / 2}) {
    SCOPED_TRACE(longest);
    server_.clear_requests();
    std::vector<fs::path> siblings;
    for (const std::size_t size : {std::size_t{1000}, longest, std::size_t{70'000}}) {
      siblings.push_back(transactions() / random_hex_id());
      test::write_file(siblings.back() / "downloads" / entry.object, object.substr(0, size));
    }
    const auto check = check_of({0});

    EXPECT_FALSE(run(check));

    EXPECT_TRUE(holds(object_in(check, entry), object));
    EXPECT_FALSE(fs::exists(siblings[1] / "downloads" / entry.object));
    std::uint64_t sent = 0;
    for (const auto& request : server_.requests()) sent += request.body_bytes;
    EXPECT_EQ(sent, object.size() - longest);
    for (const auto& folder : siblings) fs::remove_all(folder);
    fs::remove_all(check.transaction_dir);
  }
}

// What an install must still write for its objects: nothing for what this
// transaction holds or can move in from a settled folder, all of what it must
// copy or fetch; an object named by several entries once.
TEST_F(Downloads, TheObjectBytesToWriteLeaveOutWhatIsHeldOrMovable) {
  publish({{"a.bin", test::noise_bytes(40'000, 1)},
           {"b.bin", test::noise_bytes(50'000, 2)},
           {"c.bin", test::noise_bytes(60'000, 3)},
           {"d.bin", test::noise_bytes(70'000, 4)},
           {"e.bin", test::noise_bytes(80'000, 5)}});
  manifest_.files.push_back(manifest_.files[4]);
  manifest_.files.back().path = "copy of e.bin";
  const auto& files = manifest_.files;
  const auto check = check_of({0, 1, 2, 3, 4, 5});
  test::write_file(object_in(check, files[0]), published(files[0]));                  // held whole
  test::write_file(object_in(check, files[1]), published(files[1]).substr(0, 20'000));  // held in part
  const fs::path settled = transactions() / random_hex_id();
  test::write_file(settled / "downloads" / files[2].object, published(files[2]).substr(0, 25'000));
  const fs::path installing = transactions() / random_hex_id();
  test::write_file(installing / "journal.json",
                   journal_pretty_json(Journal{kJournalVersion, "installing", false, {}, false}));
  test::write_file(installing / "downloads" / files[3].object, published(files[3]));

  const auto siblings = list_sibling_transactions(check.transaction_dir);
  ASSERT_TRUE(siblings) << siblings.error().to_string();
  const auto to_write = object_bytes_to_write(check.transaction_dir, *siblings, manifest_, check.plan.download);
  ASSERT_TRUE(to_write) << to_write.error().to_string();
  EXPECT_EQ(*to_write, (files[1].object_bytes - 20'000) + (files[2].object_bytes - 25'000) + files[3].object_bytes +
                           files[4].object_bytes);
}

TEST_F(Downloads, TheSearchOfOtherTransactionsFailsOnALinkOrWithoutATransactionRoot) {
  publish({{"bin/game.exe", "game"}});
  auto check = check_of({0});
  fs::create_directory_symlink(temp_.path(), transactions() / random_hex_id());
  const auto error = run(check);
  ASSERT_TRUE(error);
  EXPECT_TRUE(error->message().starts_with("reparse point rejected: ")) << error->to_string();

  check.transaction_dir = random_hex_id();  // a folder without a parent
  const auto rootless = run(check);
  ASSERT_TRUE(rootless);
  EXPECT_EQ(rootless->to_string(), "transaction root");
  EXPECT_EQ(server_.request_count(), 0u);
}

// Two threads fail on different objects; whichever stores its error last is
// the one the slot keeps, whatever the order of the objects.
TEST_F(Downloads, OfTwoFailuresTheErrorStoredLastIsKept) {
  publish({{"a.bin", "object a is missing"}, {"b.bin", "object b is refused"}});
  const FileEntry& a = manifest_.files[0];
  const FileEntry& b = manifest_.files[1];
  server_.script(object_target(a), refused(404));
  server_.script(object_target(b), refused(503));

  for (const FileEntry* later : {&a, &b}) {
    SCOPED_TRACE(later->path);
    // The later thread holds back its request until the other's error is in.
    lines_.hook = [&, later](const std::string& line) {
      if (line.starts_with(fmt::format("Downloading {}: 0/", later->path))) wait_for_stored_error();
    };
    const auto error = run(check_of({0, 1}));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->to_string(), later == &a ? "HTTP 404; redirects are not followed"
                                              : "HTTP 503; redirects are not followed");
  }
}

TEST_F(Downloads, ACancelDuringABodyIsStoredAndThePartialKept) {
  publish({{"bin/game.exe", test::noise_bytes(4'000'000)}});
  const FileEntry& entry = manifest_.files[0];
  server_.script(object_target(entry), stalled(600'000));
  CancelFlag cancel;
  lines_.hook = [&](const std::string& line) {
    if (line.starts_with("Downloading") && !line.starts_with("Downloading bin/game.exe: 0/")) cancel.cancel();
  };
  const auto check = check_of({0});

  const auto error = run(check, cancel);

  ASSERT_TRUE(error);
  EXPECT_EQ(error->to_string(), "cancelled; partial retained");
  const auto held = fs::file_size(object_in(check, entry));
  EXPECT_GT(held, 0u);
  EXPECT_LT(held, entry.object_bytes);
  EXPECT_TRUE(holds(object_in(check, entry), published(entry).substr(0, held)));
}

TEST_F(Downloads, EntriesSharingAnObjectFetchItOnceAndEachCountsItWhole) {
  publish({{"bin/game.exe", test::noise_bytes(3'000'000)}, {"other.bin", test::noise_bytes(500'000, 7)}});
  const FileEntry shared = manifest_.files[0];
  // Identical files under other names: three more entries of the same object,
  // around another object, so that the four threads reach it at once.
  for (const char* path : {"copy/1.exe", "copy/2.exe", "copy/3.exe"}) {
    FileEntry copy = shared;
    copy.path = path;
    manifest_.files.push_back(copy);
  }
  server_.script(object_target(shared), stalled(1'000'000));
  const auto check = check_of({2, 0, 3, 1, 4});

  EXPECT_FALSE(run(check));

  EXPECT_TRUE(holds(object_in(check, shared), published(shared)));
  std::size_t shared_requests = 0;
  for (const auto& request : server_.requests()) shared_requests += request.target == object_target(shared);
  EXPECT_EQ(shared_requests, 1u);
  EXPECT_EQ(server_.request_count(), 2u);
  std::optional<Progress> last;
  for (const auto& line : lines_.all()) {
    if (auto record = parse_progress_line(line)) last = record;
  }
  ASSERT_TRUE(last);
  EXPECT_EQ(last->completed, check.plan.download_bytes);
  for (const char* path : {"bin/game.exe", "copy/1.exe", "copy/2.exe", "copy/3.exe"}) {
    const auto status = lines_.status();
    EXPECT_NE(std::find(status.begin(), status.end(),
                        fmt::format("Downloading {0}: {1}/{1} bytes", path, shared.object_bytes)),
              status.end())
        << path;
  }
}

TEST_F(Downloads, WhenTheSharedObjectFailsTheEntriesWaitingForItStopWithoutAskingAgain) {
  publish({{"bin/game.exe", "missing on the server"}});
  for (const char* path : {"copy/1.exe", "copy/2.exe", "copy/3.exe", "copy/4.exe"}) {
    FileEntry copy = manifest_.files[0];
    copy.path = path;
    manifest_.files.push_back(copy);
  }
  server_.script(object_target(manifest_.files[0]), refused(404));

  const auto error = run(check_of({0, 1, 2, 3, 4}));

  ASSERT_TRUE(error);
  EXPECT_EQ(error->to_string(), "HTTP 404; redirects are not followed");
  EXPECT_EQ(server_.request_count(), 3u);  // the three attempts of one fetch
}

TEST_F(Downloads, AThreadThatThrowsEndsTheDownloadsWithItsError) {
  std::vector<test::ClientFile> files;
  for (int i = 0; i < 8; ++i) files.push_back({fmt::format("data/{}.bin", i), test::noise_bytes(300'000, i + 1)});
  publish(files);
  for (const auto& entry : manifest_.files) {
    if (entry.path != "data/0.bin") server_.script(object_target(entry), stalled(1));
  }
  lines_.hook = [](const std::string& line) {
    if (line.starts_with("Downloading data/0.bin")) throw std::runtime_error("the sink broke");
  };
  const auto check = check_of({0, 1, 2, 3, 4, 5, 6, 7});

  const auto error = run(check);

  ASSERT_TRUE(error);
  EXPECT_EQ(error->to_string(), "download thread failed: the sink broke");
  // The other three finished the object each held, and took no other.
  EXPECT_LE(server_.request_count(), 3u);
  for (std::size_t i = 4; i < 8; ++i) EXPECT_FALSE(fs::exists(object_in(check, manifest_.files[i]))) << i;
}

TEST(DownloadProgressTable, ACountAboveTheObjectSizeCountsAsTheObjectSize) {
  Manifest manifest;
  manifest.files = {test::sample_entry("a.bin"), test::sample_entry("b.bin")};
  manifest.files[0].object_bytes = 1000;
  manifest.files[1].object_bytes = 50;
  const std::vector<std::uint32_t> download = {1, 0};
  test::RecordingSink recorder;
  DownloadProgress progress(manifest, download, 1050, recorder.sink());

  record_download_progress(progress, 0, 70, "b.bin");
  record_download_progress(progress, 1, 400, "a.bin");
  record_download_progress(progress, 1, 5000, "a.bin");

  EXPECT_EQ(recorder.progress(), (std::vector<std::string>{"Download 50/1050 b.bin", "Download 450/1050 a.bin",
                                                           "Download 1050/1050 a.bin"}));
  EXPECT_TRUE(recorder.status_lines().empty());
}

TEST(ValidateContext, WrapsAnErrorUnderTheEntryPath) {
  const FileEntry entry = test::sample_entry("data/a.bin");
  EXPECT_FALSE(with_validate_context(std::nullopt, entry));
  const auto wrapped = with_validate_context(Error("cause").context("object SHA-256 mismatch"), entry);
  ASSERT_TRUE(wrapped);
  EXPECT_EQ(wrapped->message(), "validate data/a.bin");
  EXPECT_EQ(wrapped->to_string(), "validate data/a.bin: object SHA-256 mismatch: cause");
}

TEST(PhysicalPaths, ResolvesEveryOperationInOrderAndStopsAtTheFirstFailure) {
  test::TempDir temp;
  const fs::path root = temp.path();
  fs::create_directories(root / "sub");
  test::TempDir outside;
  fs::create_directory_symlink(outside.path(), root / "link");

  const std::vector<Operation> fine = {{"sub/b.txt", true, false}, {"a.txt", false, false}, {"new/c.txt", false, true}};
  const auto paths = resolve_physical_paths(fine, root);
  ASSERT_TRUE(paths) << paths.error().to_string();
  EXPECT_EQ(*paths, (std::vector<fs::path>{root / "sub/b.txt", root / "a.txt", root / "new/c.txt"}));

  const std::vector<Operation> escaping = {{"a.txt", false, false}, {"link/c.txt", false, false}, {"..", false, false}};
  const auto refused = resolve_physical_paths(escaping, root);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().to_string(), "reparse point rejected: " + (root / "link").string());
}

}  // namespace
}  // namespace qv
