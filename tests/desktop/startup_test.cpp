#include "desktop/startup.hpp"

#include <cmath>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <gtest/gtest.h>

namespace qv {
namespace {

std::vector<std::string> command(const std::vector<std::string>& options) {
  std::vector<std::string> args = {"Launcher.exe"};
  args.reserve(options.size() + 1);
  for (const auto& option : options) args.push_back(option);
  return args;
}

// The error text of a failed result, or "ok".
template <class T>
std::string outcome(const Result<T>& result) {
  return result ? "ok" : result.error().to_string();
}

TEST(StartupTest, PreviewFontOptions) {
  struct Case {
    std::vector<std::string> args;
    std::string outcome;
  };
  const std::vector<Case> cases = {
      {{"--preview-font-family", "X"}, "ok"},  // no font file: nothing asked
      {{"--preview-font-file", "f.ttf", "--preview-font-family", "X"}, "font choice is preview-only"},
      {{"--preview-font-file", "f.ttf", "--render-watch", "o.png", "--preview-font-family", "X"},
       "font choice is preview-only"},
      {{"--preview-font-file", "f.ttf", "--render-preview", "o.png"}, "preview font family required"},
      {{"--render-preview", "o.png", "--preview-font-file", "f.ttf", "--preview-font-family", "X"}, "ok"},
      {{"--render-preview", "o.png", "--preview-font-file", "f.ttf", "--preview-font-family", "X",
        "--preview-font-weight", "+400"},
       "ok"},
      {{"--render-preview", "o.png", "--preview-font-file", "f.ttf", "--preview-font-family", "X",
        "--preview-font-weight", "99"},
       "font weight out of range"},
      {{"--render-preview", "o.png", "--preview-font-file", "f.ttf", "--preview-font-family", "X",
        "--preview-font-weight", "901"},
       "font weight out of range"},
      {{"--render-preview", "o.png", "--preview-font-file", "f.ttf", "--preview-font-family", "X",
        "--preview-font-weight", "bold"},
       "invalid digit found in string"},
      {{"--render-preview", "o.png", "--preview-font-file", "f.ttf", "--preview-font-family", "X",
        "--preview-font-weight", ""},
       "cannot parse integer from empty string"},
      {{"--render-preview", "o.png", "--preview-font-file", "f.ttf", "--preview-font-family", "X",
        "--preview-font-weight", "99999999999"},
       "number too large to fit in target type"},
  };
  for (const Case& c : cases) {
    const auto args = command(c.args);
    EXPECT_EQ(outcome(read_preview_font(args)), c.outcome) << fmt::format("{}", fmt::join(c.args, " "));
  }
  const auto font = read_preview_font(command({"--render-preview", "o.png", "--preview-font-file", "f.ttf",
                                                "--preview-font-family", "Serif", "--preview-font-weight", "+400"}));
  const PreviewFont chosen = font.value_or(std::nullopt).value_or(PreviewFont{"", "none", 0});
  EXPECT_EQ(chosen.family, "Serif");
  EXPECT_EQ(chosen.weight, 400);
}

TEST(StartupTest, PreviewScaleHoverAndProgress) {
  struct Case {
    std::vector<std::string> args;
    std::string outcome;
  };
  const std::vector<Case> cases = {
      {{"--preview-scale", "0.25"}, "ok"},
      {{"--preview-scale", "2"}, "ok"},
      {{"--preview-scale", "+1.5"}, "ok"},
      {{"--preview-scale", "2.01"}, "preview scale out of range"},
      {{"--preview-scale", "NaN"}, "preview scale out of range"},
      {{"--preview-scale", "inf"}, "preview scale out of range"},
      {{"--preview-scale", "big"}, "invalid float literal"},
      {{"--preview-scale", ""}, "cannot parse float from empty string"},
      {{"--preview-hover", "-1"}, "preview hover out of range"},
      {{"--preview-hover", "8"}, "preview hover out of range"},
      {{"--preview-hover", "7"}, "ok"},
      {{"--preview-progress", "100"}, "ok"},
      {{"--preview-progress", "+5"}, "ok"},
      {{"--preview-progress", "101"}, "preview percent out of range"},
      {{"--preview-progress", "-1"}, "invalid digit found in string"},
      // Read in order: the scale's error comes first.
      {{"--preview-progress", "101", "--preview-scale", "9"}, "preview scale out of range"},
  };
  for (const Case& c : cases) {
    const auto args = command(c.args);
    EXPECT_EQ(outcome(read_preview_options(args)), c.outcome) << fmt::format("{}", fmt::join(c.args, " "));
  }
  const auto options = read_preview_options(command({"--preview-scale", "0.5", "--preview-hover", "3"}));
  ASSERT_TRUE(options);
  EXPECT_EQ(options->scale, 0.5);
  EXPECT_EQ(options->hover, 3);
  EXPECT_FALSE(options->progress);
}

TEST(StartupTest, TheStartupScaleFollowsTheMonitorNearTheCorner) {
  platform::DisplayInfo display;
  EXPECT_DOUBLE_EQ(startup_scale(display), 0.625) << "no display: 96 dpi, no limit";
  display.connected = true;
  display.dpi = 144;
  display.monitors.push_back({{0, 0, 2560, 1440}, {0, 0, 2560, 1440}, true});
  // A second, small monitor far from (100, 100) does not limit the scale.
  display.monitors.push_back({{2560, 0, 3360, 600}, {2560, 0, 3360, 600}, false});
  EXPECT_DOUBLE_EQ(startup_scale(display), 0.9375);
  display.monitors[0].work_area = {0, 0, 800, 600};
  EXPECT_DOUBLE_EQ(startup_scale(display), std::min((800.0 - 32) / 1536, (600.0 - 32) / 1024));
}

}  // namespace
}  // namespace qv
