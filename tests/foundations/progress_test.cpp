#include "core/foundations/progress.hpp"

#include <thread>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

namespace qv {
namespace {

std::vector<std::string> capture(const std::function<void(const LineSink&)>& emit) {
  std::vector<std::string> lines;
  LineSink sink([&](std::string line) { lines.push_back(std::move(line)); });
  emit(sink);
  return lines;
}

TEST(Progress, LinesAreByteExact) {
  auto lines = capture([](const LineSink& sink) {
    emit_progress_with_total(sink, Stage::Check, 3, 10, ProgressUnit::Files, "Launcher.exe");
    emit_progress(sink, Stage::CloseGame, 0, std::nullopt, ProgressUnit::Steps, "");
    emit_progress(sink, Stage::Download, UINT64_MAX, 0, ProgressUnit::Bytes, "a\"b\\c\n\t\x01\x1f/\x7f\b\f\r");
  });
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0],
            R"(@QV_PROGRESS {"stage":"Check","completed":3,"total":10,"unit":"Files","detail":"Launcher.exe"})");
  EXPECT_EQ(lines[1], R"(@QV_PROGRESS {"stage":"CloseGame","completed":0,"total":null,"unit":"Steps","detail":""})");
  EXPECT_EQ(lines[2],
            R"(@QV_PROGRESS {"stage":"Download","completed":18446744073709551615,"total":0,"unit":"Bytes",)"
            R"("detail":"a\"b\\c\n\t\u0001\u001f/)"
            "\x7f"
            R"(\b\f\r"})");
}

TEST(Progress, RoundTripKeepsEveryDetail) {
  const std::string thai = "\xe0\xb8\x81\xe0\xb8\xb3\xe0\xb8\xa5\xe0\xb8\xb1\xe0\xb8\x87";
  for (const std::string& detail : {std::string("q\"uote\\ line\nfeed\ttab\x01"), thai, std::string()}) {
    for (auto total : {std::optional<std::uint64_t>(), std::optional<std::uint64_t>(7)}) {
      auto lines = capture([&](const LineSink& sink) {
        emit_progress(sink, Stage::Apply, 9, total, ProgressUnit::Steps, detail);
      });
      ASSERT_EQ(lines.size(), 1u);
      EXPECT_EQ(lines[0].find('\n'), std::string::npos);
      auto parsed = parse_progress_line(lines[0]);
      ASSERT_TRUE(parsed) << lines[0];
      EXPECT_EQ(*parsed, (Progress{Stage::Apply, 9, total, ProgressUnit::Steps, detail}));
    }
  }
}

TEST(Progress, InvalidUtf8InADetailStillGivesAValidLine) {
  auto lines = capture([](const LineSink& sink) {
    emit_progress(sink, Stage::Check, 1, 2, ProgressUnit::Files, "bad\xff");
  });
  auto parsed = parse_progress_line(lines.at(0));
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->detail, "bad\xef\xbf\xbd");
}

TEST(ParseProgressLine, AcceptsAndRefuses) {
  const std::string ok = R"({"stage":"Check","completed":3,"total":10,"unit":"Files","detail":"x"})";
  const std::string nest = std::string(200, '[') + std::string(200, ']');
  struct Case {
    std::string line;
    bool accepted;
  };
  const Case cases[] = {
      {"@QV_PROGRESS " + ok, true},
      {" @QV_PROGRESS " + ok, false},
      {"@qv_progress " + ok, false},
      {"@QV_PROGRESS" + ok, false},
      {"@QV_PROGRESS ", false},
      {"@QV_PROGRESS    ", false},
      {"@QV_PROGRESS \t\r\n " + ok + " \n", true},
      {"@QV_PROGRESS " + ok + " " + ok, false},
      {"@QV_PROGRESS " + ok + ",", false},
      {R"(@QV_PROGRESS {"detail":"x","unit":"Files","completed":3,"stage":"Check"})", true},  // total missing
      {R"(@QV_PROGRESS {"stage":"Check","extra":{"a":[1,{"b":null}]},"completed":3,"unit":"Files","detail":"x"})",
       true},
      {R"(@QV_PROGRESS {"stage":"Check","extra":)" + nest +
           R"(,"completed":3,"total":null,"unit":"Files","detail":"x"})",
       true},
      {R"(@QV_PROGRESS {"stage":"Check","stage":"Check","completed":3,"unit":"Files","detail":"x"})", false},
      {R"(@QV_PROGRESS {"stage":"Check","completed":3,"total":1,"total":2,"unit":"Files","detail":"x"})", false},
      {R"(@QV_PROGRESS {"completed":3,"unit":"Files","detail":"x"})", false},
      {R"(@QV_PROGRESS {"stage":"Check","completed":3,"unit":"Files"})", false},
      {R"(@QV_PROGRESS ["Download",1,null,"Bytes","d"])", true},
      {R"(@QV_PROGRESS ["Download",1,null,"Bytes"])", false},
      {R"(@QV_PROGRESS ["Download",1,null,"Bytes","d",0])", false},
      {R"(@QV_PROGRESS {"stage":"download","completed":1,"unit":"Bytes","detail":""})", false},
      {R"(@QV_PROGRESS {"stage":{"Download":null},"completed":1,"unit":{"Bytes":null},"detail":""})", true},
      {R"(@QV_PROGRESS {"stage":{"Download":1},"completed":1,"unit":"Bytes","detail":""})", false},
      {R"(@QV_PROGRESS {"stage":{"Download":null,"Check":null},"completed":1,"unit":"Bytes","detail":""})", false},
      {R"(@QV_PROGRESS {"stage":"Done","completed":18446744073709551615,"unit":"Steps","detail":""})", true},
      {R"(@QV_PROGRESS {"stage":"Done","completed":18446744073709551616,"unit":"Steps","detail":""})", false},
      {R"(@QV_PROGRESS {"stage":"Done","completed":-1,"unit":"Steps","detail":""})", false},
      {R"(@QV_PROGRESS {"stage":"Done","completed":1.0,"unit":"Steps","detail":""})", false},
      {R"(@QV_PROGRESS {"stage":"Done","completed":1e3,"unit":"Steps","detail":""})", false},
      {R"(@QV_PROGRESS {"stage":"Done","completed":01,"unit":"Steps","detail":""})", false},
      {R"(@QV_PROGRESS {"stage":"Done","completed":"1","unit":"Steps","detail":""})", false},
      {R"(@QV_PROGRESS {"stage":"Done","completed":9,"total":3,"unit":"Steps","detail":""})", true},
      {"@QV_PROGRESS {\"stage\":\"Done\",\"completed\":1,\"unit\":\"Steps\",\"detail\":\"raw\x01\"}", false},
      {R"(@QV_PROGRESS {"stage":"Done","completed":1,"unit":"Steps","detail":"\q"})", false},
      {"@QV_PROGRESS {\"stage\":\"Done\",\"completed\":1,\"unit\":\"Steps\",\"detail\":\"\xc3\"}", false},
      {R"(@QV_PROGRESS {"stage":"Done","completed":1,"unit":"Steps","detail":"\ud800"})", false},
      {R"(@QV_PROGRESS {"stage":"Done","completed":1,"unit":"Steps","detail":"x",})", false},
      {R"(@QV_PROGRESS {"stage":"Done","completed":1,"unit":"Steps","detail":'x'})", false},
      {R"(@QV_PROGRESS /*c*/{"stage":"Done","completed":1,"unit":"Steps","detail":"x"})", false},
      {R"(@QV_PROGRESS "Done")", false},
      {R"(@QV_PROGRESS 5)", false},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_progress_line(c.line).has_value(), c.accepted) << c.line.substr(0, 120);

  auto arr = parse_progress_line(R"(@QV_PROGRESS ["Download",1,null,"Bytes","d"])");
  ASSERT_TRUE(arr);
  EXPECT_EQ(*arr, (Progress{Stage::Download, 1, std::nullopt, ProgressUnit::Bytes, "d"}));
  auto escaped = parse_progress_line(R"(@QV_PROGRESS ["Done",1,2,"Steps","\u0e01\ud83d\ude00\/"])");
  ASSERT_TRUE(escaped);
  EXPECT_EQ(escaped->detail, "\xe0\xb8\x81\xf0\x9f\x98\x80/");
}

TEST(DecodeNames, ExactNamesOnly) {
  EXPECT_EQ(decode_stage("CloseGame").value(), Stage::CloseGame);
  EXPECT_FALSE(decode_stage("closegame"));
  EXPECT_FALSE(decode_stage("Done "));
  EXPECT_EQ(decode_progress_unit("Files").value(), ProgressUnit::Files);
  EXPECT_FALSE(decode_progress_unit("files"));
}

TEST(LineSink, SerialisesCallsFromManyThreads) {
  // The callback below is not thread-safe on its own; the sink must make it so.
  std::vector<std::string> lines;
  LineSink sink([&](std::string line) { lines.push_back(std::move(line)); });
  std::vector<std::jthread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&sink, t] {
      for (int i = 0; i < 2000; ++i) {
        if (i % 2) {
          emit_progress(sink, Stage::Download, static_cast<std::uint64_t>(i), std::nullopt, ProgressUnit::Bytes,
                        fmt::format("t{}", t));
        } else {
          sink(fmt::format("status {} {}", t, i));
        }
      }
    });
  }
  threads.clear();
  ASSERT_EQ(lines.size(), 16000u);
  std::size_t progress = 0;
  for (const auto& line : lines) progress += parse_progress_line(line).has_value();
  EXPECT_EQ(progress, 8000u);
  LineSink::discard()("dropped");  // a sink without a callback drops lines
}

}  // namespace
}  // namespace qv
