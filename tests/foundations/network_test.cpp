#include "core/foundations/network.hpp"

#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <set>
#include <thread>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "core/foundations/paths.hpp"
#include "platform/fs.hpp"
#include "support/child_process.hpp"
#include "support/connect_proxy.hpp"
#include "support/exchange_race.hpp"
#include "support/http_testing.hpp"
#include "support/loopback_server.hpp"
#include "support/raw_http_server.hpp"
#include "support/temp_dir.hpp"

namespace qv {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::Answer;
using test::LoopbackServer;
using test::read_file;
using test::TempDir;
using test::write_file;

constexpr std::uint64_t kUnlimited = 1ull << 40;

std::string outcome(const Status& s) { return s ? "ok" : s.error().to_string(); }

// Distinct bytes at every offset, so a misplaced or repeated range shows.
std::string pattern(std::size_t size) {
  std::string out(size, '\0');
  for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<char>('a' + (i * 7 + i / 26) % 26);
  return out;
}

std::set<std::string> names_in(const fs::path& folder) {
  std::set<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec)) names.insert(entry.path().filename().string());
  return names;
}

// The one name in `folder` that ends with `suffix` and has the 32-digit id
// in the place of the extension of `stem`.
std::optional<std::string> set_aside_name(const fs::path& folder, const std::string& stem, const std::string& suffix) {
  for (const auto& name : names_in(folder)) {
    if (name.size() == stem.size() + 1 + 32 + suffix.size() && name.starts_with(stem + ".") && name.ends_with(suffix)) {
      const std::string id = name.substr(stem.size() + 1, 32);
      if (is_hex_id(id) && std::ranges::none_of(id, [](char c) { return c >= 'A' && c <= 'F'; })) return name;
    }
  }
  return std::nullopt;
}

class DownloadTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // Loopback traffic must never be sent to a proxy of the environment.
    for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) ::unsetenv(name);
  }

  Status get(const std::string& path, const fs::path& destination, std::optional<std::uint64_t> expected,
             std::uint64_t limit = kUnlimited) {
    return download_file(server.url(path), destination, expected, limit, true, cancel, progress);
  }

  TempDir dir;
  LoopbackServer server;
  CancelFlag cancel;
  std::vector<std::uint64_t> progress_calls;
  ByteProgress progress = [this](std::uint64_t bytes) { progress_calls.push_back(bytes); };
};

TEST_F(DownloadTest, FetchesAFileWithExactlyTheAllowedRequestHeaders) {
  const std::string body = pattern(3 * 1024 * 1024 + 17);
  server.put("/objects/ab", body);
  const fs::path destination = dir / "downloads/ab.qvp";  // its folder is created

  ASSERT_EQ(outcome(download_file(server.url("/objects/ab?v=1"), destination, body.size(), body.size(), true, cancel,
                                  progress)),
            "ok");
  EXPECT_EQ(read_file(destination), body);
  ASSERT_FALSE(progress_calls.empty());
  EXPECT_EQ(progress_calls.back(), body.size());
  EXPECT_TRUE(std::ranges::is_sorted(progress_calls));
  for (std::size_t i = 1; i < progress_calls.size(); ++i)
    EXPECT_LE(progress_calls[i] - progress_calls[i - 1], 1u << 20);

  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "GET");
  EXPECT_EQ(requests[0].target, "/objects/ab?v=1");
  EXPECT_EQ(requests[0].version, "HTTP/1.1");
  const std::vector<std::pair<std::string, std::string>> expected_headers = {
      {"accept-encoding", "identity"},
      {"host", fmt::format("127.0.0.1:{}", server.port())},
      {"user-agent", "QVLauncher/0.1"},
  };
  EXPECT_EQ(requests[0].headers, expected_headers);
}

TEST_F(DownloadTest, ResumesAPartialByAnExactRange) {
  const std::string body = pattern(1000);
  server.put("/o", body);
  const fs::path destination = dir / "o.qvp";
  write_file(destination, body.substr(0, 100));

  ASSERT_EQ(outcome(get("/o", destination, 1000)), "ok");
  EXPECT_EQ(read_file(destination), body);
  ASSERT_FALSE(progress_calls.empty());
  EXPECT_GT(progress_calls.front(), 100u);  // the resumed prefix is counted
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  const std::vector<std::pair<std::string, std::string>> expected_headers = {
      {"accept-encoding", "identity"},
      {"host", fmt::format("127.0.0.1:{}", server.port())},
      {"range", "bytes=100-"},
      {"user-agent", "QVLauncher/0.1"},
  };
  EXPECT_EQ(requests[0].headers, expected_headers);
}

TEST_F(DownloadTest, ACompleteFileNeedsNoRequest) {
  const fs::path destination = dir / "done.qvp";
  write_file(destination, "12345");
  EXPECT_EQ(outcome(get("/nowhere", destination, 5)), "ok");
  EXPECT_EQ(server.request_count(), 0u);
  EXPECT_TRUE(progress_calls.empty());
}

TEST_F(DownloadTest, AWholeBodyAnswerToARangeSetsThePartialAside) {
  const std::string body = pattern(1000);
  server.put("/o", body);
  Answer whole;
  whole.ignore_range = true;
  server.script("/o", whole);
  const fs::path destination = dir / "o.qvp";
  write_file(destination, "0123456789");

  ASSERT_EQ(outcome(get("/o", destination, 1000)), "ok");
  EXPECT_EQ(read_file(destination), body);
  const auto aside = set_aside_name(dir.path(), "o", ".range-restarted");
  ASSERT_TRUE(aside) << ::testing::PrintToString(names_in(dir.path()));
  EXPECT_EQ(read_file(dir / *aside), "0123456789");
  EXPECT_EQ(names_in(dir.path()).size(), 2u);
}

TEST_F(DownloadTest, APartialWithASecondNameIsSetAsideAndFetchedFromZero) {
  const std::string body = pattern(1000);
  server.put("/o", body);
  TempDir outside;
  write_file(outside / "precious", body.substr(0, 100));
  for (const auto expected : {std::optional<std::uint64_t>(1000), std::optional<std::uint64_t>()}) {
    SCOPED_TRACE(expected ? "signed size" : "no signed size");
    server.clear_requests();
    const fs::path folder = dir / (expected ? "object" : "manifest");
    fs::create_directories(folder);
    fs::create_hard_link(outside / "precious", folder / "o.qvp");

    ASSERT_EQ(outcome(get("/o", folder / "o.qvp", expected)), "ok");
    EXPECT_EQ(read_file(folder / "o.qvp"), body);
    EXPECT_EQ(read_file(outside / "precious"), body.substr(0, 100));
    const auto aside = set_aside_name(folder, "o", ".invalid");
    ASSERT_TRUE(aside) << ::testing::PrintToString(names_in(folder));
    EXPECT_TRUE(fs::equivalent(folder / *aside, outside / "precious"));
    EXPECT_EQ(names_in(folder).size(), 2u);
    ASSERT_EQ(server.request_count(), 1u);
    EXPECT_FALSE(server.requests()[0].header("range"));
  }
}

TEST_F(DownloadTest, APartialWithoutSignedSizeIsSetAsideAndFetchedAnew) {
  server.put("/manifest.qvm", "fresh manifest");
  const fs::path destination = dir / "manifest.qvm";
  write_file(destination, "stale");

  ASSERT_EQ(outcome(get("/manifest.qvm", destination, std::nullopt, 32 << 20)), "ok");
  EXPECT_EQ(read_file(destination), "fresh manifest");
  const auto aside = set_aside_name(dir.path(), "manifest", ".manifest-fragment");
  ASSERT_TRUE(aside) << ::testing::PrintToString(names_in(dir.path()));
  EXPECT_EQ(read_file(dir / *aside), "stale");
  ASSERT_EQ(server.request_count(), 1u);
  EXPECT_FALSE(server.requests()[0].header("range"));

  // A name without an extension gets the id and the suffix added.
  server.put("/plain", "x");
  write_file(dir / "plain", "old");
  ASSERT_EQ(outcome(get("/plain", dir / "plain", std::nullopt)), "ok");
  EXPECT_TRUE(set_aside_name(dir.path(), "plain", ".manifest-fragment"));
}

// Answers that a download must refuse, each tried three times.
struct Refusal {
  const char* name;
  Answer answer;
  std::size_t body_size;
  std::optional<std::uint64_t> expected;
  std::uint64_t limit;
  std::size_t partial;  // bytes of the body already in the destination
  std::string error;
  bool body_written;  // whether bytes of the answer may reach the file
};

Answer with(auto&& edit) {
  Answer answer;
  edit(answer);
  return answer;
}

TEST_F(DownloadTest, RefusedAnswersFailWithTheirOwnTextAfterThreeAttempts) {
  const std::vector<Refusal> cases = {
      {"206 without a range asked", with([](Answer& a) {
         a.status = 206;
         a.content_range = "bytes 0-99/100";
       }),
       100, 100, 100, 0, "unsolicited/unknown-length range response", false},
      {"206 to a manifest", with([](Answer& a) { a.status = 206; }), 100, std::nullopt, 1000, 0,
       "unsolicited/unknown-length range response", false},
      {"Content-Range off by one", with([](Answer& a) { a.content_range = "bytes 100-998/1000"; }), 1000, 1000, 1000,
       100, "invalid Content-Range: bytes 100-998/1000", false},
      {"Content-Range of another size", with([](Answer& a) { a.content_range = "bytes 100-999/1001"; }), 1000, 1000,
       1000, 100, "invalid Content-Range: bytes 100-999/1001", false},
      {"Content-Range without its unit", with([](Answer& a) { a.content_range = "100-999/1000"; }), 1000, 1000, 1000,
       100, "invalid Content-Range: 100-999/1000", false},
      {"Content-Range missing", with([](Answer& a) { a.omit_content_range = true; }), 1000, 1000, 1000, 100,
       "invalid Content-Range: ", false},
      {"moved permanently", with([](Answer& a) {
         a.status = 301;
         a.headers = {{"Location", "/elsewhere"}};
       }),
       10, 10, 10, 0, "HTTP 301; redirects are not followed", false},
      {"found", with([](Answer& a) {
         a.status = 302;
         a.headers = {{"Location", "/elsewhere"}};
       }),
       10, 10, 10, 0, "HTTP 302; redirects are not followed", false},
      {"not found", with([](Answer& a) { a.status = 404; }), 10, 10, 10, 0, "HTTP 404; redirects are not followed",
       false},
      {"Content-Length not a number", with([](Answer& a) { a.content_length = "abc"; }), 10, 10, 10, 0,
       "invalid Content-Length: invalid digit found in string", false},
      {"Content-Length negative", with([](Answer& a) { a.content_length = "-10"; }), 10, 10, 10, 0,
       "invalid Content-Length: invalid digit found in string", false},
      {"Content-Length with a suffix", with([](Answer& a) { a.content_length = "10x"; }), 10, 10, 10, 0,
       "invalid Content-Length: invalid digit found in string", false},
      {"Content-Length empty", with([](Answer& a) { a.content_length = ""; }), 10, 10, 10, 0,
       "invalid Content-Length: cannot parse integer from empty string", false},
      {"Content-Length beyond 64 bits", with([](Answer& a) { a.content_length = "18446744073709551616"; }), 10, 10, 10,
       0, "invalid Content-Length: number too large to fit in target type", false},
      {"Content-Length over the limit", {}, 2000, std::nullopt, 1999, 0, "Content-Length exceeds allowed size", false},
      {"Content-Length and resumed prefix over the limit", with([](Answer& a) { a.content_length = "1000"; }), 1000,
       1000, 1000, 100, "Content-Length exceeds allowed size", false},
      {"Content-Length other than the signed size",
       {},
       999,
       1000,
       1000,
       0,
       "Content-Length differs from signed object size",
       false},
      {"body cut short of its length", with([](Answer& a) { a.close_after = 500; }), 1000, std::nullopt, 1000, 0,
       "truncated HTTP response body", true},
      {"resumed body cut short of its length", with([](Answer& a) { a.close_after = 200; }), 1000, 1000, 1000, 100,
       "truncated HTTP response body", true},
      {"body without length cut short of the signed size", with([](Answer& a) {
         a.omit_content_length = true;
         a.close_after = 300;
       }),
       1000, 1000, 1000, 0, "truncated download", true},
      {"body without length over the limit", with([](Answer& a) { a.omit_content_length = true; }), 3000, std::nullopt,
       1000, 0, "response exceeds declared size", true},
      {"body without length over the signed size", with([](Answer& a) { a.omit_content_length = true; }), 3000, 1000,
       5000, 0, "response exceeds declared size", true},
      // A chunked body runs to the end of its chunks, whatever length is
      // declared beside them, and is judged by what arrived.
      {"chunked body longer than its length", with([](Answer& a) {
         a.chunked = true;
         a.content_length = "500";
       }),
       1000, std::nullopt, kUnlimited, 0, "truncated HTTP response body", true},
      {"chunked body longer than the signed size", with([](Answer& a) {
         a.chunked = true;
         a.content_length = "1000";
       }),
       1500, 1000, 1000, 0, "response exceeds declared size", true},
      {"chunked body cut short of its length", with([](Answer& a) {
         a.chunked = true;
         a.close_after = 400;
       }),
       1000, std::nullopt, 1000, 0, "truncated HTTP response body", true},
      {"two lengths that disagree", with([](Answer& a) {
         a.content_length = "500";
         a.headers = {{"Content-Length", "1000"}};
       }),
       1000, std::nullopt, kUnlimited, 0, "invalid Content-Length: invalid digit found in string", false},
      {"switching protocols unasked", with([](Answer& a) {
         a.status = 101;
         a.headers = {{"Upgrade", "websocket"}, {"Connection", "Upgrade"}};
       }),
       10, 10, 10, 0, "HTTP 101; redirects are not followed", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    server.clear_scripts();
    server.clear_requests();
    const std::string body = pattern(c.body_size);
    server.put("/x", body);
    server.script("/x", c.answer);
    const fs::path destination = dir / fmt::format("case-{}", &c - cases.data());
    if (c.partial > 0) write_file(destination, body.substr(0, c.partial));

    EXPECT_EQ(outcome(get("/x", destination, c.expected, c.limit)), c.error);
    EXPECT_EQ(server.request_count(), 3u);
    for (const auto& r : server.requests()) EXPECT_EQ(r.target, "/x");  // no redirect followed
    std::error_code ec;
    const auto size = fs::exists(destination) ? fs::file_size(destination, ec) : 0;
    if (!c.body_written) {
      EXPECT_EQ(size, c.partial);  // a refused head writes nothing
    }
    EXPECT_LE(size, c.expected.value_or(c.limit));
  }
}

TEST_F(DownloadTest, ShortAndPlusSignedBodiesThatBreakNoRuleSucceed) {
  // Without a length or a signed size, the body ends where the server ends it.
  server.put("/short", pattern(1000));
  server.script("/short", with([](Answer& a) {
                  a.omit_content_length = true;
                  a.close_after = 400;
                }));
  ASSERT_EQ(outcome(get("/short", dir / "short", std::nullopt, 1000)), "ok");
  EXPECT_EQ(read_file(dir / "short"), pattern(400));

  server.put("/plus", "hello");
  server.script("/plus", with([](Answer& a) { a.content_length = "+5"; }));
  ASSERT_EQ(outcome(get("/plus", dir / "plus", 5)), "ok");
  EXPECT_EQ(read_file(dir / "plus"), "hello");

  server.put("/empty", "");
  ASSERT_EQ(outcome(get("/empty", dir / "empty", std::nullopt, 0)), "ok");
  EXPECT_EQ(read_file(dir / "empty"), "");

  // Chunked bodies, with and without a length beside them, resumed or not.
  const std::string body = pattern(3 * 1024 * 1024 + 5);
  server.put("/chunked", body);
  server.script("/chunked", with([](Answer& a) {
                  a.chunked = true;
                  a.omit_content_length = true;
                }));
  ASSERT_EQ(outcome(get("/chunked", dir / "chunked", body.size())), "ok");
  EXPECT_EQ(read_file(dir / "chunked"), body);
  server.script("/chunked", with([](Answer& a) { a.chunked = true; }));
  write_file(dir / "resumed", body.substr(0, 1000));
  ASSERT_EQ(outcome(get("/chunked", dir / "resumed", body.size())), "ok");
  EXPECT_EQ(read_file(dir / "resumed"), body);
  EXPECT_EQ(server.request_count(), 5u);
}

TEST_F(DownloadTest, EveryFailedAttemptIsRecordedAndPausedBeforeTheNext) {
  server.script("/m", with([](Answer& a) { a.status = 500; }));
  const fs::path root = dir / "client";
  const fs::path destination = root / ".launcher/transactions/0123456789abcdef0123456789abcdef/manifest.qvm";

  EXPECT_EQ(outcome(get("/m", destination, std::nullopt, 1000)), "HTTP 500; redirects are not followed");
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_GE(requests[1].at - requests[0].at, 300ms);
  EXPECT_LT(requests[1].at - requests[0].at, 600ms);
  EXPECT_GE(requests[2].at - requests[1].at, 600ms);
  EXPECT_LT(requests[2].at - requests[1].at, 900ms);

  const std::string log = read_file(root / ".launcher/state/errors.txt");
  for (int attempt = 1; attempt <= 3; ++attempt) {
    EXPECT_NE(log.find(fmt::format(" download]\nattempt {}: {}: HTTP 500; redirects are not followed\n\n", attempt,
                                   destination.string())),
              std::string::npos)
        << log;
  }
  EXPECT_EQ(log.find("attempt 4"), std::string::npos);

  // A later attempt that succeeds ends the call with success.
  server.clear_scripts();
  server.clear_requests();
  server.put("/m", "manifest");
  server.script_once("/m", with([](Answer& a) { a.status = 503; }));
  server.script_once("/m", with([](Answer& a) { a.close_after = 2; }));
  EXPECT_EQ(outcome(get("/m", destination, std::nullopt, 1000)), "ok");
  EXPECT_EQ(read_file(destination), "manifest");
  EXPECT_EQ(server.request_count(), 3u);

  const std::string log_after_success = read_file(root / ".launcher/state/errors.txt");
  EXPECT_NE(log_after_success.find("attempt 2: " + destination.string() + ": truncated HTTP response body"),
            std::string::npos);

  // Outside a ".launcher" folder nothing is recorded.
  server.script("/m", with([](Answer& a) { a.status = 404; }));
  EXPECT_FALSE(get("/m", root / "elsewhere/manifest.qvm", std::nullopt, 1000));
  EXPECT_EQ(read_file(root / ".launcher/state/errors.txt"), log_after_success);
}

TEST_F(DownloadTest, AnUnwritableRecordEndsTheCallAtOnce) {
  server.script("/m", with([](Answer& a) { a.status = 404; }));
  const fs::path root = dir / "client";
  write_file(root / ".launcher/state", "a file where the log folder belongs");
  EXPECT_EQ(outcome(get("/m", root / ".launcher/manifest.qvm", std::nullopt, 1000)),
            "HTTP 404; redirects are not followed; cannot persist download error");
  EXPECT_EQ(server.request_count(), 1u);
}

TEST_F(DownloadTest, CancellationEndsTheCallWithoutAFurtherAttempt) {
  server.put("/big", pattern(8 << 20));
  const fs::path root = dir / "client";
  const fs::path destination = root / ".launcher/downloads/big";

  // Set during the body: the bytes written so far stay for a later resume.
  progress = [this](std::uint64_t bytes) {
    progress_calls.push_back(bytes);
    cancel.cancel();
  };
  EXPECT_EQ(outcome(get("/big", destination, 8 << 20)), "cancelled; partial retained");
  EXPECT_EQ(server.request_count(), 1u);
  ASSERT_EQ(progress_calls.size(), 1u);
  EXPECT_EQ(fs::file_size(destination), progress_calls[0]);
  EXPECT_LT(progress_calls[0], 8u << 20);
  const std::string log = read_file(root / ".launcher/state/errors.txt");
  EXPECT_NE(log.find("attempt 1: " + destination.string() + ": cancelled; partial retained"), std::string::npos);
  EXPECT_EQ(log.find("attempt 2"), std::string::npos);

  // Already set: the answer is still examined, and nothing of its body is read.
  progress_calls.clear();
  server.clear_requests();
  EXPECT_EQ(outcome(get("/big", dir / "fresh", 8 << 20)), "cancelled; partial retained");
  EXPECT_EQ(fs::file_size(dir / "fresh"), 0u);
  server.script("/missing", with([](Answer& a) { a.status = 404; }));
  EXPECT_EQ(outcome(get("/missing", dir / "missing", 10)), "HTTP 404; redirects are not followed");
  EXPECT_EQ(server.request_count(), 2u);
  EXPECT_TRUE(progress_calls.empty());
  write_file(dir / "complete", "abc");
  EXPECT_EQ(outcome(get("/big", dir / "complete", 3)), "ok");
}

TEST_F(DownloadTest, AStalledServerFailsTheAttempt) {
  platform::set_http_test_stall_timeout(1);
  server.put("/slow", pattern(1000));
  server.script("/slow", with([](Answer& a) {
                  a.stall_after = 0;  // the head arrives, then nothing
                  a.stall_for = 20s;
                }));
  const auto started = std::chrono::steady_clock::now();
  const Status result = get("/slow", dir / "slow", 1000);
  platform::set_http_test_stall_timeout(0);
  ASSERT_FALSE(result);
  EXPECT_TRUE(result.error().message().starts_with("libcurl: ")) << result.error().message();
  EXPECT_TRUE(result.error().message().ends_with("(curl error 28)")) << result.error().message();
  EXPECT_EQ(server.request_count(), 3u);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 15s);
  EXPECT_EQ(fs::file_size(dir / "slow"), 0u);
}

TEST_F(DownloadTest, ACancelIsSeenWhileTheServerSendsNothing) {
  server.put("/slow", pattern(1 << 20));
  server.script("/slow", with([](Answer& a) {
                  a.stall_after = 4096;  // some of the body, then nothing for a long time
                  a.stall_for = 20s;
                }));
  // Set from another thread while the transfer waits for the next bytes.
  std::jthread canceller([this] {
    std::this_thread::sleep_for(500ms);
    cancel.cancel();
  });
  const auto started = std::chrono::steady_clock::now();
  const Status result = get("/slow", dir / "slow", 1 << 20);
  EXPECT_EQ(outcome(result), "cancelled; partial retained");
  EXPECT_GE(std::chrono::steady_clock::now() - started, 500ms);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  EXPECT_EQ(server.request_count(), 1u);
  EXPECT_EQ(fs::file_size(dir / "slow"), 4096u);
}

TEST_F(DownloadTest, ACancelIsSeenBeforeTheHeadArrives) {
  const std::string body = pattern(1000);
  server.put("/late", body);
  server.script("/late", with([](Answer& a) { a.head_delay = 20s; }));
  write_file(dir / "late", body.substr(0, 100));
  std::jthread canceller([this] {
    std::this_thread::sleep_for(500ms);
    cancel.cancel();
  });
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(outcome(get("/late", dir / "late", 1000)), "cancelled; partial retained");
  EXPECT_GE(std::chrono::steady_clock::now() - started, 500ms);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);
  EXPECT_EQ(server.request_count(), 1u);
  EXPECT_EQ(read_file(dir / "late"), body.substr(0, 100));

  // Set before the call: an answer that is slow to come is not waited for.
  canceller.join();
  started = std::chrono::steady_clock::now();
  EXPECT_EQ(outcome(get("/late", dir / "late", 1000)), "cancelled; partial retained");
  EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);
  EXPECT_EQ(server.request_count(), 2u);

  // Nor a handshake that never ends: this listener takes the connection and
  // never says a word.
  test::RawHttpServer silent;
  started = std::chrono::steady_clock::now();
  const std::string secure = fmt::format("https://127.0.0.1:{}/o", silent.port());
  EXPECT_EQ(outcome(download_file(secure, dir / "secure", 1000, 1000, false, cancel, progress)),
            "cancelled; partial retained");
  EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);
}

// Heads written byte by byte, as no HTTP library would write them: folded
// lines are unfolded, a line of blanks does not end the head, and a head that
// cannot be read field by field is refused.
TEST_F(DownloadTest, HeadsAreReadFieldByFieldOrRefused) {
  struct Case {
    const char* name;
    std::string reply;
    std::optional<std::uint64_t> expected;
    std::string partial;
    std::string result;   // "libcurl: *": any transport failure (the library refuses some heads itself)
    std::string content;  // after success
  };
  const std::string malformed = "libcurl: malformed response head (curl error 8)";
  const std::string library_refusal = "libcurl: *";
  const std::vector<Case> cases = {
      {"a folded length", "HTTP/1.1 200 OK\r\nContent-Length:\r\n 5\r\n\r\nhello", 5, "", "ok", "hello"},
      {"a field folded over lines of blanks and tabs",
       "HTTP/1.1 200 OK\r\nX-Note: a\r\n\t b \r\n \r\nContent-Length:\t5\t\r\n\r\nhello", 5, "", "ok", "hello"},
      {"a line of blanks before the length", "HTTP/1.1 200 OK\r\nX-Note: a\r\n  \t \r\nContent-Length: 10\r\n\r\nhello",
       std::nullopt, "", "truncated HTTP response body", ""},
      {"a line of blanks before the range",
       "HTTP/1.1 206 Partial Content\r\nX-Note: a\r\n \r\nContent-Range: bytes 2-4/5\r\nContent-Length: 3\r\n\r\nllo",
       5, "he", "ok", "hello"},
      {"a line that is no field", "HTTP/1.1 200 OK\r\nContent-Length 5\r\n\r\nhello", 5, "", library_refusal, ""},
      {"a continuation of no field", "HTTP/1.1 200 OK\r\n Content-Length: 5000\r\n\r\nhello", std::nullopt, "",
       library_refusal, ""},
      {"a blank before the colon", "HTTP/1.1 200 OK\r\nContent-Length : 5000\r\n\r\nhello", std::nullopt, "",
       malformed, ""},
      {"a folded transfer coding", "HTTP/1.1 200 OK\r\nTransfer-Encoding:\r\n chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n",
       std::nullopt, "", malformed, ""},
  };
  test::RawHttpServer raw;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    raw.set_reply(c.reply);
    raw.clear_requests();
    const fs::path destination = dir / fmt::format("head-{}", &c - cases.data());
    if (!c.partial.empty()) write_file(destination, c.partial);
    const std::string result =
        outcome(download_file(raw.url("/o"), destination, c.expected, kUnlimited, true, cancel, progress));
    if (c.result == library_refusal) {
      EXPECT_TRUE(result.starts_with("libcurl: ")) << result;
    } else {
      EXPECT_EQ(result, c.result);
    }
    EXPECT_EQ(raw.requests().size(), c.result == "ok" ? 1u : 3u);
    if (c.result == "ok") {
      EXPECT_EQ(read_file(destination), c.content);
    } else if (c.result.starts_with("libcurl: ")) {
      EXPECT_FALSE(fs::exists(destination));  // a refused head writes nothing
    }
  }
}

TEST_F(DownloadTest, PlainHttpOnlyForALiteralLoopbackHostWhenAllowed) {
  server.put("/f", "data");
  EXPECT_EQ(outcome(download_file(server.url("/f"), dir / "a", 4, 4, false, cancel, progress)),
            "HTTPS required (test HTTP restricted to literal loopback)");
  const std::string by_name = fmt::format("http://localhost:{}/f", server.port());
  EXPECT_EQ(outcome(download_file(by_name, dir / "b", 4, 4, true, cancel, progress)),
            "HTTPS required (test HTTP restricted to literal loopback)");
  EXPECT_EQ(server.request_count(), 0u);
  EXPECT_FALSE(fs::exists(dir / "a"));
}

bool ipv6_loopback_available() {
  const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_loopback;
  const bool ok = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return ok;
}

TEST_F(DownloadTest, TheBracketedIpv6LoopbackHostIsReachedAsWritten) {
  if (!ipv6_loopback_available()) GTEST_SKIP() << "no ::1 on this machine";
  LoopbackServer v6({.https = false, .certificate = std::nullopt, .host = "::1"});
  v6.put("/f", "over ipv6");
  ASSERT_EQ(outcome(download_file(v6.url("/f"), dir / "f", 9, 9, true, cancel, progress)), "ok");
  EXPECT_EQ(read_file(dir / "f"), "over ipv6");
  ASSERT_EQ(v6.request_count(), 1u);
  EXPECT_EQ(v6.requests()[0].header("host"), fmt::format("[::1]:{}", v6.port()));
}

TEST_F(DownloadTest, HttpsNeedsACertificateFromATrustedAuthority) {
  const auto trusted = test::make_test_certificate(dir.path(), "trusted");
  const auto stranger = test::make_test_certificate(dir.path(), "stranger");
  LoopbackServer secure({.https = true, .certificate = trusted});
  secure.put("/f", pattern(70000));

  platform::set_http_test_trust_anchor(trusted.ca_file.string());
  EXPECT_EQ(outcome(download_file(secure.url("/f"), dir / "ok", 70000, 70000, false, cancel, progress)), "ok");
  EXPECT_EQ(read_file(dir / "ok"), pattern(70000));

  platform::set_http_test_trust_anchor(stranger.ca_file.string());
  const Status refused = download_file(secure.url("/f"), dir / "refused", 70000, 70000, false, cancel, progress);
  platform::set_http_test_trust_anchor("");
  ASSERT_FALSE(refused);
  EXPECT_TRUE(refused.error().message().starts_with("libcurl: ")) << refused.error().message();
  EXPECT_TRUE(refused.error().message().ends_with("(curl error 60)")) << refused.error().message();
  EXPECT_FALSE(fs::exists(dir / "refused"));
  // Only the trusted download's request got past the handshake.
  EXPECT_EQ(secure.request_count(), 1u);
}

TEST_F(DownloadTest, HttpsGoesThroughTheProxyOfTheEnvironmentExceptToALoopbackAddress) {
  const auto certificate = test::make_test_certificate(dir.path(), "proxied");
  LoopbackServer secure({.https = true, .certificate = certificate});
  secure.put("/f", pattern(200000));
  test::ConnectProxy proxy;
  platform::set_http_test_trust_anchor(certificate.ca_file.string());
  ::setenv("https_proxy", proxy.url().c_str(), 1);
  const std::string by_name = fmt::format("https://localhost:{}/f", secure.port());
  const Status named = download_file(by_name, dir / "named", 200000, 200000, false, cancel, progress);
  const int tunnels_by_name = proxy.tunnels();
  const Status direct = download_file(secure.url("/f"), dir / "direct", 200000, 200000, false, cancel, progress);
  ::unsetenv("https_proxy");
  platform::set_http_test_trust_anchor("");
  ASSERT_EQ(outcome(named), "ok");
  ASSERT_EQ(outcome(direct), "ok");
  EXPECT_EQ(read_file(dir / "named"), pattern(200000));
  EXPECT_EQ(read_file(dir / "direct"), pattern(200000));
  EXPECT_EQ(tunnels_by_name, 1);
  EXPECT_EQ(proxy.tunnels(), 1);
  EXPECT_EQ(secure.request_count(), 2u);
}

TEST_F(DownloadTest, APartialWhoseSizeIsNotAFileSizeIsNeverResumed) {
  // A folder in the destination's place has a size of its own; counting it
  // as a partial would report a download that never happened.
  const fs::path destination = dir / "obj";
  write_file(destination / "inside", "x");
  const auto info = platform::stat_path(destination);
  ASSERT_TRUE(info);
  server.put("/obj", "abc");
  EXPECT_EQ(outcome(get("/obj", destination, info->size, kUnlimited)), "Is a directory (os error 21)");
  EXPECT_EQ(server.request_count(), 0u);
}

// Downloads args[0] into args[1] with the signed size args[2] ("-" for none).
QV_CHILD_MODE(download_once) {
  CancelFlag cancel;
  const auto expected = args.at(2) == "-" ? std::nullopt : std::optional<std::uint64_t>(std::stoull(args.at(2)));
  test::child_say(
      outcome(download_file(args.at(0), args.at(1), expected, kUnlimited, true, cancel, [](std::uint64_t) {})));
  return 0;
}

TEST_F(DownloadTest, PlainHttpToALoopbackAddressNeverGoesThroughAProxy) {
  server.put("/manifest.qvm", "from the server");
  // A stranger named as the proxy, answering in the server's place.
  test::RawHttpServer stranger("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nproxy said");
  for (const char* variable : {"http_proxy", "all_proxy", "ALL_PROXY"}) {
    SCOPED_TRACE(variable);
    const fs::path destination = dir / variable / "manifest.qvm";
    auto child = test::Child::start_self("download_once", {server.url("/manifest.qvm"), destination.string(), "-"},
                                         {{variable, stranger.url()}});
    EXPECT_EQ(child.read_line(30s), "ok");
    EXPECT_EQ(child.wait().exit_code, 0);
    EXPECT_EQ(read_file(destination), "from the server");
  }
  EXPECT_TRUE(stranger.requests().empty()) << ::testing::PrintToString(stranger.requests());
  EXPECT_EQ(server.request_count(), 3u);
}

TEST_F(DownloadTest, APipeAtTheDestinationIsRefusedAtOnce) {
  // A pipe has no reader: opening it to write would block for ever, and the
  // cancel flag is only read between chunks. Run in a child, so that a hang
  // fails this test instead of stopping the suite.
  ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
  server.put("/obj", "abc");
  auto child = test::Child::start_self("download_once", {server.url("/obj"), (dir / "pipe").string(), "3"});
  const auto said = child.read_line(10s);
  ASSERT_TRUE(said) << "the download blocked on the pipe";
  EXPECT_EQ(*said, "Invalid argument (os error 22)");
  EXPECT_EQ(child.wait().exit_code, 0);
  EXPECT_EQ(server.request_count(), 0u);
}

TEST_F(DownloadTest, DownloadsNeverLeaveTheClientWhileAFolderIsExchangedForALink) {
  TempDir outside;
  const fs::path data = dir / "data";
  fs::create_directory(data);
  fs::create_directory_symlink(outside.path(), dir / "swap");
  server.put("/obj", pattern(1000));

  auto attacker = test::start_exchanging(data, dir / "swap");
  // Every failed attempt is tried again after a pause: a few calls at once
  // keep the race busy.
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      CancelFlag never;
      for (int i = 0; i < 3; ++i) {
        (void)download_file(server.url("/obj"), data / fmt::format("obj-{}-{}", t, i), 1000, 1000, true, never, {});
      }
    });
  }
  for (auto& thread : threads) thread.join();
  attacker.kill(SIGKILL);
  attacker.wait();

  EXPECT_GT(server.request_count(), 0u);
  EXPECT_TRUE(names_in(outside.path()).empty()) << ::testing::PrintToString(names_in(outside.path()));
}

TEST_F(DownloadTest, AnOversizedPartialIsRefusedBeforeAnyRequest) {
  write_file(dir / "big", pattern(2000));
  EXPECT_EQ(outcome(get("/big", dir / "big", 3000, 1000)), "existing partial too large");
  EXPECT_EQ(server.request_count(), 0u);
  EXPECT_EQ(fs::file_size(dir / "big"), 2000u);
}

}  // namespace
}  // namespace qv
