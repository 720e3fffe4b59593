#include "platform/display_info.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <string>
#include <thread>

#include "support/x_client.hpp"
#include "support/xvfb.hpp"

namespace qv::platform {
namespace {

using namespace std::chrono_literals;
using testing::XClient;
using testing::Xvfb;

TEST(XftDpi, FollowsTheResourceManagersMatchingRules) {
  struct Case {
    const char* resources;
    std::optional<double> dpi;
  };
  for (const auto& [resources, dpi] : {
           Case{"Xft.dpi:\t144\n", 144.0},
           Case{"Xft.antialias:\t1\nXft.dpi:  120.5  \nXft.hinting:\t1\n", 120.5},
           Case{"Xft*dpi: 110\n", 110.0},
           Case{"*dpi: 100\n", 100.0},
           Case{"*dpi: 100\nXft.dpi: 192\n", 192.0},  // the more specific entry wins
           Case{"Xft.dpi: 96\nXft.dpi: 168\n", 168.0},  // a later line replaces an earlier one
           Case{"", std::nullopt},
           Case{"Xcursor.size: 24\n", std::nullopt},
           Case{"Xft.dpix: 144\n", std::nullopt},
           Case{"Xft.dpi: big\n", std::nullopt},
           Case{"Xft.dpi: 144px\n", std::nullopt},
           Case{"Xft.dpi:\n", std::nullopt},
           Case{"Xft.dpi: 0\n", std::nullopt},
           Case{"Xft.dpi: -96\n", std::nullopt},
           Case{"Xft.dpi: 1e9\n", std::nullopt},
           Case{"Xft.dpi: nan\n", std::nullopt},
       }) {
    EXPECT_EQ(parse_xft_dpi(resources), dpi) << resources;
  }
  // A NUL ends the text, as it ends the property for every other reader.
  EXPECT_EQ(parse_xft_dpi(std::string("Xft.dpi: 120\n\0Xft.dpi: 240\n", 28)), 120.0);
}

TEST(Monitors, NearestIsTheOneHoldingOrClosestOrSharingMost) {
  DisplayInfo info;
  info.monitors = {
      {{0, 0, 1920, 1080}, {0, 0, 1920, 1040}, true},
      {{1920, 0, 3200, 1024}, {1920, 0, 3200, 1024}, false},
  };
  struct PointCase {
    std::int32_t x;
    std::int32_t y;
    std::size_t monitor;
  };
  for (const auto& [x, y, monitor] : {
           PointCase{100, 100, 0},
           PointCase{1919, 1079, 0},
           PointCase{1920, 0, 1},   // right edges belong to the next monitor
           PointCase{2500, 1050, 1},  // below the shorter monitor: it is still the nearest
           PointCase{-500, 500, 0},
           PointCase{5000, -5000, 1},
       }) {
    EXPECT_EQ(info.monitor_near(x, y), &info.monitors[monitor]) << x << "," << y;
  }
  struct RectCase {
    ScreenRect rect;
    std::size_t monitor;
  };
  for (const auto& [rect, monitor] : {
           RectCase{{1500, 100, 2460, 740}, 1},  // more of it lies on the right
           RectCase{{1000, 100, 1960, 740}, 0},
           RectCase{{-2000, -2000, -1000, -1000}, 0},
           RectCase{{3300, 2000, 3400, 2100}, 1},
       }) {
    EXPECT_EQ(info.monitor_near(rect), &info.monitors[monitor]) << rect.left << "," << rect.top;
  }
  EXPECT_EQ(DisplayInfo{}.monitor_near(0, 0), nullptr);
}

TEST(DisplayQuery, WithoutADisplayGivesTheDefaults) {
  ::unsetenv("DISPLAY");
  DisplayInfo info = query_display();
  EXPECT_FALSE(info.connected);
  EXPECT_EQ(info.dpi, kBaseDpi);
  EXPECT_EQ(info.scale(), 1.0);
  EXPECT_TRUE(info.monitors.empty());
}

TEST(DisplayQuery, ReadsScaleMonitorsAndTheCurrentDesktopsWorkArea) {
  Xvfb server("1920x1080x24");
  if (!server.display()) GTEST_SKIP() << "no X server: " << server.reason();
  ::setenv("DISPLAY", server.display()->c_str(), 1);
  XClient client(*server.display());

  DisplayInfo info = query_display();
  EXPECT_TRUE(info.connected);
  EXPECT_EQ(info.dpi, 96.0);
  ASSERT_EQ(info.monitors.size(), 1u);
  EXPECT_EQ(info.monitors[0].bounds, (ScreenRect{0, 0, 1920, 1080}));
  EXPECT_EQ(info.monitors[0].work_area, info.monitors[0].bounds);

  client.set_root_text("RESOURCE_MANAGER", "Xft.dpi:\t144\n");
  // Desktop 1's panels take 30 pixels at the top and 40 at the bottom.
  client.set_root_cardinals("_NET_WORKAREA", {0, 0, 1920, 1040, 0, 30, 1920, 1010});
  client.set_root_cardinals("_NET_CURRENT_DESKTOP", {1});
  info = query_display();
  EXPECT_EQ(info.dpi, 144.0);
  EXPECT_EQ(info.scale(), 1.5);
  EXPECT_EQ(info.monitors.at(0).work_area, (ScreenRect{0, 30, 1920, 1040}));

  // A desktop number the work areas do not cover falls back to the first.
  client.set_root_cardinals("_NET_CURRENT_DESKTOP", {7});
  EXPECT_EQ(query_display().monitors.at(0).work_area, (ScreenRect{0, 0, 1920, 1040}));

  // A second monitor on the right half, made primary: it comes first, and
  // each monitor gets its own part of the work area.
  client.delete_root_property("_NET_CURRENT_DESKTOP");
  ASSERT_TRUE(client.set_monitor("RIGHT", 1000, 0, 920, 1080, true));
  info = query_display();
  ASSERT_EQ(info.monitors.size(), 2u);
  EXPECT_TRUE(info.monitors[0].primary);
  EXPECT_FALSE(info.monitors[1].primary);
  EXPECT_EQ(info.monitors[0].bounds, (ScreenRect{1000, 0, 1920, 1080}));
  EXPECT_EQ(info.monitors[0].work_area, (ScreenRect{1000, 0, 1920, 1040}));
  EXPECT_EQ(info.monitors[1].work_area, (ScreenRect{0, 0, 1920, 1040}));
  EXPECT_EQ(info.monitor_near(1500, 100), &info.monitors[0]);
  ::unsetenv("DISPLAY");
}

}  // namespace
}  // namespace qv::platform
