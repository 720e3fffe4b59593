#include "desktop/app_state.hpp"

#include <gtest/gtest.h>

#include "desktop/assets.hpp"
#include "desktop/design_space.hpp"
#include "desktop/png_codec.hpp"

namespace qv {
namespace {

AppState make_state() {
  auto skin = decode_png(embedded_skin_png(), std::uint64_t{kBaseWidth} * kBaseHeight);
  EXPECT_TRUE(skin);
  auto font = PrivateFont::add_memory(embedded_label_font());
  EXPECT_TRUE(font);
  return AppState(LoadedFont{kLabelFontFamily, std::move(*font), kLabelFontWeight}, std::move(skin->pixels));
}

TEST(AppState, StartsIdleWithItsOwnChannelAndFlag) {
  const auto before = std::chrono::steady_clock::now();
  AppState state = make_state();
  EXPECT_LE(before, state.stage_started);
  EXPECT_EQ(state.hover, -1);
  EXPECT_EQ(state.focus, -1);
  EXPECT_FALSE(state.busy || state.ready || state.check_pending);
  EXPECT_FALSE(state.progress || state.config || state.config_file || state.prepared_check);
  EXPECT_FALSE(state.cancel.is_cancelled());
  EXPECT_EQ(state.scale, 1.0);
  EXPECT_TRUE(state.background.empty());

  // The window's own sender reaches its own receiver.
  state.sender.send(WorkerMessage{WorkerMessage::GameClosed{}});
  auto message = state.receiver.try_receive();
  ASSERT_TRUE(message);
  EXPECT_EQ(message->kind(), 3u);
}

TEST(AppState, ChangingTheScaleRebuildsTheBackground) {
  AppState state = make_state();
  for (const double scale : {0.625, 0.9375, 0.1, 2.0}) {
    state.set_scale(scale);
    const FrameSize size = frame_size(scale);
    EXPECT_EQ(state.background.size(), std::size_t(size.width) * size.height * 4) << scale;
  }
}

}  // namespace
}  // namespace qv
