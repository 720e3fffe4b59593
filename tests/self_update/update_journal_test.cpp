#include "core/self_update/update_journal.hpp"

#include <filesystem>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "support/temp_dir.hpp"

namespace qv {
namespace {

namespace fs = std::filesystem;
using test::TempDir;
using test::write_file;

const std::string kToken = "0123456789abcdef0123456789abcdef";

std::string decoded(std::string_view text) {
  auto journal = decode_update_journal(text);
  if (!journal) return journal.error().to_string();
  return fmt::format("{}|{}|{}|{}", journal->version, journal->phase, journal->token, journal->retain);
}

TEST(UpdateJournal, WritesSixLinesInFieldOrderWithoutAFinalLineBreak) {
  TempDir dir;
  const UpdateJournal journal{1, "staged", kToken, true};
  ASSERT_TRUE(write_update_journal(dir.path(), journal));
  EXPECT_EQ(test::read_file(dir / "self-update.json"),
            "{\n  \"version\": 1,\n  \"phase\": \"staged\",\n  \"token\": \"" + kToken + "\",\n  \"retain\": true\n}");
  auto back = read_update_journal(dir.path());
  ASSERT_TRUE(back) << back.error().to_string();
  EXPECT_EQ(*back, journal);
  // Texts keep the JSON escaping, so any value survives the round trip.
  const UpdateJournal odd{7, "a \"quoted\"\nphase", "t\\k", false};
  ASSERT_TRUE(write_update_journal(dir.path(), odd));
  EXPECT_EQ(read_update_journal(dir.path()).value(), odd);
}

TEST(UpdateJournal, DecodingRules) {
  const std::string t = "\"" + kToken + "\"";
  struct Case {
    std::string text;
    std::string expected;
  };
  const Case cases[] = {
      {"{\"version\":1,\"phase\":\"staged\",\"token\":" + t + ",\"retain\":false}", "1|staged|" + kToken + "|false"},
      {" \t\r\n{\"retain\":true,\"token\":" + t + ",\"phase\":\"complete\",\"version\":2}\n ",
       "2|complete|" + kToken + "|true"},
      {"{\"version\":1,\"note\":[{\"x\":null}],\"phase\":\"staged\",\"token\":" + t + ",\"retain\":false}",
       "1|staged|" + kToken + "|false"},
      {"[1,\"replacing\"," + t + ",false]", "1|replacing|" + kToken + "|false"},
      {"{\"version\":4294967295,\"phase\":\"p\",\"token\":\"t\",\"retain\":false}", "4294967295|p|t|false"},
      {"{\"version\":1,\"phase\":\"staged\",\"token\":" + t + "}", "missing field `retain` at line 1 column 73"},
      {"{\"retain\":false}", "missing field `version` at line 1 column 16"},
      {"{\"version\":1,\"version\":1}", "duplicate field `version` at line 1 column 22"},
      {"[1,\"staged\"," + t + "]",
       "invalid length 3, expected struct UpdateJournal with 4 elements at line 1 column 47"},
      {"[1,\"staged\"," + t + ",false,1]", "trailing characters at line 1 column 54"},
      {"{\"version\":4294967296,\"phase\":\"p\",\"token\":\"t\",\"retain\":false}",
       "invalid value: integer `4294967296`, expected u32 at line 1 column 21"},
      {"{\"version\":-1,\"phase\":\"p\",\"token\":\"t\",\"retain\":false}",
       "invalid value: integer `-1`, expected u32 at line 1 column 13"},
      {"{\"version\":1,\"phase\":1,\"token\":\"t\",\"retain\":false}",
       "invalid type: integer `1`, expected a string at line 1 column 22"},
      {"{\"version\":1,\"phase\":\"p\",\"token\":\"t\",\"retain\":\"no\"}",
       "invalid type: string \"no\", expected a boolean at line 1 column 50"},
      {"{\"version\":1,\"phase\":\"p\",\"token\":\"t\",\"retain\":false}x", "trailing characters at line 1 column 53"},
      {"", "EOF while parsing a value at line 1 column 0"},
  };
  for (const auto& c : cases) EXPECT_EQ(decoded(c.text), c.expected) << c.text;
}

class InflightSearch : public ::testing::Test {
 protected:
  TempDir dir;
  ClientConfig config = [this] {
    ClientConfig c;
    c.root = dir.path();
    return c;
  }();
  fs::path transaction(std::string_view phase) {
    const auto folder = dir / (".launcher/transactions/" + fmt::format("{:032x}", ++count_));
    fs::create_directories(folder);
    EXPECT_TRUE(write_update_journal(folder, UpdateJournal{1, std::string(phase), kToken, false}));
    return folder;
  }
  std::string answer() {
    auto found = find_inflight_self_update(config);
    return found ? (*found ? "true" : "false") : found.error().to_string();
  }

 private:
  int count_ = 0;
};

TEST_F(InflightSearch, OnlyReplacingAndAwaitingHealthAreInFlight) {
  EXPECT_EQ(answer(), "false");  // no transactions folder at all
  fs::create_directories(dir / ".launcher/transactions/0123456789abcdef0123456789abcdef");
  write_file(dir / ".launcher/transactions/0123456789abcdef0123456789abcdef/journal.json", "{}");
  write_file(dir / ".launcher/transactions/stray.txt", "not a folder");
  for (auto phase : {"staged", "complete", "rolled-back", "Replacing", "awaiting-health "}) transaction(phase);
  EXPECT_EQ(answer(), "false");
  transaction("awaiting-health");
  EXPECT_EQ(answer(), "true");
}

TEST_F(InflightSearch, ReplacingIsInFlight) {
  transaction("staged");
  transaction("replacing");
  EXPECT_EQ(answer(), "true");
}

TEST_F(InflightSearch, AJournalThatDoesNotDecodeOrALinkStopsTheSearch) {
  const auto folder = transaction("staged");
  write_file(folder / "self-update.json", "{\"version\":1,\"phase\":\"replacing\",\"token\":\"t\",\"retain\":false} x");
  EXPECT_EQ(answer(), "trailing characters at line 1 column 62");
  fs::remove_all(folder);
  fs::create_symlink(dir.path(), dir / ".launcher/transactions/link");
  EXPECT_EQ(answer(), "reparse point rejected: " + (dir / ".launcher/transactions/link").string());
}

// Only a missing journal means there is none: one that cannot even be looked
// at (here a link that loops on itself; a folder the user may not enter is
// the same) may hide an update in flight.
TEST_F(InflightSearch, AJournalThatCannotBeLookedAtStopsTheSearch) {
  transaction("staged");
  const auto hidden = transaction("replacing");
  fs::remove(hidden / "self-update.json");
  fs::create_symlink("self-update.json", hidden / "self-update.json");
  EXPECT_EQ(answer(), "Too many levels of symbolic links (os error 40)");
}

}  // namespace
}  // namespace qv
