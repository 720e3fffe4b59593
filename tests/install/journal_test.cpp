#include "core/install/journal.hpp"

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "support/temp_dir.hpp"

namespace qv {
namespace {

namespace fs = std::filesystem;

Journal two_operations(std::string phase) {
  return Journal{1, std::move(phase), true, {{"data/a.pak", true, false}, {"old/b.txt", true, true}}, false};
}

std::string error_of(const Result<Journal>& result) { return result ? "ok" : result.error().to_string(); }

TEST(WriteJournal, WritesTheLayoutAndOneEventLinePerWrite) {
  test::TempDir dir;
  ASSERT_TRUE(write_journal(dir.path(), two_operations("prepared")));
  EXPECT_EQ(test::read_file(dir / "journal.json"),
            "{\n"
            "  \"version\": 1,\n"
            "  \"phase\": \"prepared\",\n"
            "  \"previous_state\": true,\n"
            "  \"operations\": [\n"
            "    {\n"
            "      \"path\": \"data/a.pak\",\n"
            "      \"had_old\": true,\n"
            "      \"delete\": false\n"
            "    },\n"
            "    {\n"
            "      \"path\": \"old/b.txt\",\n"
            "      \"had_old\": true,\n"
            "      \"delete\": true\n"
            "    }\n"
            "  ],\n"
            "  \"retain\": false\n"
            "}");

  const Journal empty{1, "installing", false, {}, true};
  ASSERT_TRUE(write_journal(dir.path(), empty));
  EXPECT_EQ(test::read_file(dir / "journal.json"),
            "{\n  \"version\": 1,\n  \"phase\": \"installing\",\n  \"previous_state\": false,\n"
            "  \"operations\": [],\n  \"retain\": true\n}");
  EXPECT_EQ(test::read_file(dir / "journal-events.jsonl"),
            "{\"version\":1,\"phase\":\"prepared\",\"previous_state\":true,\"operations\":["
            "{\"path\":\"data/a.pak\",\"had_old\":true,\"delete\":false},"
            "{\"path\":\"old/b.txt\",\"had_old\":true,\"delete\":true}],\"retain\":false}\n"
            "{\"version\":1,\"phase\":\"installing\",\"previous_state\":false,\"operations\":[],\"retain\":true}\n");
  // Nothing but the two files: the temporary of the atomic write is gone.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 2);
}

TEST(WriteJournal, EscapesPathsAsTheJsonWriterDoes) {
  test::TempDir dir;
  const Journal journal{1, "prepared", false, {{"ข้อมูล/\"q\"\\\x01.txt", false, false}}, false};
  ASSERT_TRUE(write_journal(dir.path(), journal));
  EXPECT_NE(test::read_file(dir / "journal.json").find("\"path\": \"ข้อมูล/\\\"q\\\"\\\\\\u0001.txt\""),
            std::string::npos);
  auto back = read_journal(dir / "journal.json");
  ASSERT_TRUE(back) << back.error().to_string();
  EXPECT_EQ(*back, journal);
}

TEST(WriteJournal, ALinkAtTheEventLogFailsAfterTheJournalWasReplaced) {
  test::TempDir dir;
  ASSERT_TRUE(write_journal(dir.path(), two_operations("prepared")));
  fs::rename(dir / "journal-events.jsonl", dir / "elsewhere.jsonl");
  fs::create_symlink(dir / "elsewhere.jsonl", dir / "journal-events.jsonl");

  auto written = write_journal(dir.path(), two_operations("installing"));
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error().to_string(), "reparse point rejected: " + (dir / "journal-events.jsonl").string());
  EXPECT_EQ(read_journal(dir / "journal.json")->phase, "installing");
  EXPECT_EQ(test::read_file(dir / "elsewhere.jsonl").find("installing"), std::string::npos);
}

TEST(WriteJournal, AJournalThatCannotBeReplacedLeavesBothFilesAlone) {
  test::TempDir dir;
  fs::create_directories(dir / "journal.json/inside");
  auto written = write_journal(dir.path(), two_operations("prepared"));
  ASSERT_FALSE(written);
  EXPECT_TRUE(written.error().to_string().starts_with("replace " + (dir / "journal.json").string() + ": "))
      << written.error().to_string();
  EXPECT_FALSE(fs::exists(dir / "journal-events.jsonl"));
}

TEST(ReadJournal, ReadsBothFormsAndIgnoresUnknownKeys) {
  const Journal expected = two_operations("installing");
  const std::string operations = R"([{"path":"data/a.pak","had_old":true,"delete":false},["old/b.txt",true,true]])";
  const std::string documents[] = {
      R"({"version":1,"phase":"installing","previous_state":true,"operations":)" + operations + R"(,"retain":false})",
      R"([1,"installing",true,)" + operations + ",false]",
      R"({"retain":false,"note":{"any":[1,2,{"deep":null}]},"operations":)" + operations +
          R"(,"previous_state":true,"phase":"installing","version":1})",
      R"({"version":1,"phase":"installing","previous_state":true,"retain":false,"operations":[)"
      R"({"delete":false,"extra":"x","path":"data/a.pak","had_old":true},["old/b.txt",true,true]]})",
      R"( [1,"installing",true,)" + operations + ",false] \t\r\n\n",
  };
  for (const auto& document : documents) {
    auto journal = decode_journal(document);
    ASSERT_TRUE(journal) << document << "\n" << journal.error().to_string();
    EXPECT_EQ(*journal, expected) << document;
  }
  // Version and phase are the recovery's business.
  auto other =
      decode_journal(R"({"version":2,"phase":"Complete","previous_state":false,"operations":[],"retain":false})");
  ASSERT_TRUE(other);
  EXPECT_EQ(other->version, 2u);
  EXPECT_EQ(other->phase, "Complete");
}

TEST(ReadJournal, RefusesMalformedJournalsWithTheReadersTexts) {
  struct Case {
    const char* document;
    const char* error;
  };
  const Case cases[] = {
      {R"({"version":1,"phase":"prepared","previous_state":false,"operations":[]})",
       "missing field `retain` at line 1 column 71"},
      {R"({"version":1,"phase":"prepared","phase":"installing"})", "duplicate field `phase` at line 1 column 39"},
      {R"([1,"prepared",false,[]])", "invalid length 4, expected struct Journal with 5 elements at line 1 column 23"},
      {R"([1,"prepared",false,[],false,0])", "trailing characters at line 1 column 30"},
      {R"([1,"prepared",false,[["a",true]],false])",
       "invalid length 2, expected struct Operation with 3 elements at line 1 column 31"},
      {R"([1,"prepared",false,[{"path":"a","had_old":true}],false])", "missing field `delete` at line 1 column 48"},
      {R"([1,"prepared",false,[{"path":"a","path":"b"}],false])", "duplicate field `path` at line 1 column 39"},
      {R"([1,"prepared",false,[],false] x)", "trailing characters at line 1 column 31"},
      {R"([1,"prepared",false,{},false])", "invalid type: map, expected a sequence at line 1 column 20"},
      {R"([-1,"prepared",false,[],false])", "invalid value: integer `-1`, expected u32 at line 1 column 3"},
      {R"([4294967296,"prepared",false,[],false])",
       "invalid value: integer `4294967296`, expected u32 at line 1 column 11"},
      {R"([1,3,false,[],false])", "invalid type: integer `3`, expected a string at line 1 column 4"},
      {R"("journal")", "invalid type: string \"journal\", expected struct Journal at line 1 column 9"},
      {"{\n  \"version\": 1,\n  \"phase\": \"insta", "EOF while parsing a string at line 3 column 17"},
      {"", "EOF while parsing a value at line 1 column 0"},
  };
  for (const auto& c : cases) EXPECT_EQ(error_of(decode_journal(c.document)), c.error) << c.document;
}

TEST(ReadJournal, ReturnsTheReadError) {
  test::TempDir dir;
  EXPECT_EQ(error_of(read_journal(dir / "journal.json")), "No such file or directory (os error 2)");
}

}  // namespace
}  // namespace qv
