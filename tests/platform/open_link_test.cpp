#include "platform/open_link.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_dir.hpp"

namespace qv::platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::TempDir;

// A stand-in xdg-open: records its folder and each argument (ended by NUL)
// in record.bin, then lingers, as a browser start may.
class StandInOpener : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* path = ::getenv("PATH");
    saved_path_ = path != nullptr ? path : "";
    bin_ = dir_ / "bin";
    test::write_file(bin_ / "xdg-open", "#!/bin/sh\n"
                                        "exec >/dev/null 2>&1\n"
                                        "{ pwd; printf '%s\\0' \"$@\"; } > \"" +
                                            (dir_ / "record.tmp").string() + "\"\n"
                                            "mv \"" +
                                            (dir_ / "record.tmp").string() + "\" \"" + record().string() +
                                            "\"\n"
                                            "sleep 3\n");
    fs::permissions(bin_ / "xdg-open", fs::perms::owner_all);
    ::setenv("PATH", (bin_.string() + ":/usr/bin:/bin").c_str(), 1);
  }
  void TearDown() override { ::setenv("PATH", saved_path_.c_str(), 1); }

  fs::path record() const { return dir_ / "record.bin"; }

  // The recorded folder and arguments, once the stand-in has run.
  std::optional<std::vector<std::string>> recorded(std::chrono::milliseconds timeout = 5s) {
    const auto end = Clock::now() + timeout;
    while (!fs::exists(record())) {
      if (Clock::now() >= end) return std::nullopt;
      std::this_thread::sleep_for(10ms);
    }
    const std::string bytes = test::read_file(record());
    std::vector<std::string> out;
    const std::size_t newline = bytes.find('\n');
    out.push_back(bytes.substr(0, newline));
    std::size_t at = newline + 1;
    while (at < bytes.size()) {
      const std::size_t nul = bytes.find('\0', at);
      out.push_back(bytes.substr(at, nul - at));
      at = nul + 1;
    }
    fs::remove(record());
    return out;
  }

  TempDir dir_;
  fs::path bin_;
  std::string saved_path_;
};

TEST_F(StandInOpener, ReceivesExactlyTheLinkAndIsNotWaitedFor) {
  for (const std::string& link : {
           std::string("https://qv.example/register"),
           std::string("https://qv.example/top up?user=a b&x='1'\"2\"$(id)`id`;|*~"),
           std::string("https://qv.example/เติมเงิน"),
           "https://qv.example/" + std::string(4000, 'a'),
       }) {
    const auto start = Clock::now();
    auto opened = open_link(link);
    const auto took = Clock::now() - start;
    ASSERT_TRUE(opened) << opened.error().to_string();
    EXPECT_LT(took, 1s) << "open_link waited for the opener";
    auto seen = recorded();
    ASSERT_TRUE(seen) << link;
    EXPECT_EQ(*seen, (std::vector<std::string>{"/", link}));
  }
}

TEST_F(StandInOpener, RefusesLinksThatAreNotOneArgumentOfText) {
  struct Case {
    std::string link;
    const char* error;
  };
  for (const auto& [link, error] : {
           Case{"", "the link is empty"},
           Case{"--help", "the link begins with \"-\""},
           Case{"https://qv.example/\n--help", "the link holds a control character"},
           Case{std::string("https://qv.example/\0x", 20), "the link holds a control character"},
           Case{"https://qv.example/\x7f", "the link holds a control character"},
       }) {
    auto opened = open_link(link);
    ASSERT_FALSE(opened);
    EXPECT_EQ(opened.error().to_string(), error);
  }
  EXPECT_FALSE(recorded(300ms)) << "a refused link reached the opener";
}

TEST_F(StandInOpener, LooksOnlyInAbsoluteFoldersOfPath) {
  // A relative entry would run whatever the current folder holds.
  const fs::path before = fs::current_path();
  fs::current_path(dir_.path());
  ::setenv("PATH", "bin:/nonexistent", 1);
  auto opened = open_link("https://qv.example/");
  fs::current_path(before);
  ASSERT_FALSE(opened);
  EXPECT_EQ(opened.error().to_string(), "xdg-open was not found on PATH");

  // A folder entry of the name, or a file that may not be run, is passed over.
  const TempDir other;
  fs::create_directories(other / "dir/xdg-open");
  test::write_file(other / "plain/xdg-open", "#!/bin/sh\n");
  fs::permissions(other / "plain/xdg-open", fs::perms::owner_read | fs::perms::owner_write);
  const std::string path =
      (other / "dir").string() + ":" + (other / "plain").string() + "::" + bin_.string() + ":/usr/bin:/bin";
  ::setenv("PATH", path.c_str(), 1);
  ASSERT_TRUE(open_link("https://qv.example/discord"));
  auto seen = recorded();
  ASSERT_TRUE(seen);
  EXPECT_EQ(seen->at(1), "https://qv.example/discord");
}

}  // namespace
}  // namespace qv::platform
