#include "desktop/assets.hpp"

#include <gtest/gtest.h>

#include "desktop/design_space.hpp"
#include "desktop/font_binding.hpp"
#include "desktop/png_codec.hpp"

namespace qv {
namespace {

TEST(EmbeddedAssets, SkinIsAnRgbaImageOfTheDesignSize) {
  const auto skin = decode_png(embedded_skin_png(), std::uint64_t{kBaseWidth} * kBaseHeight);
  ASSERT_TRUE(skin) << skin.error().to_string();
  EXPECT_EQ(skin->width, std::uint32_t{kBaseWidth});
  EXPECT_EQ(skin->height, std::uint32_t{kBaseHeight});
  EXPECT_TRUE(skin->stored_as_rgba8);
  // A shaped window: clear at its corners, opaque on the panel.
  EXPECT_EQ(skin->pixels[3], 0);
  const std::size_t panel = (std::size_t{800} * kBaseWidth + 768) * 4;
  EXPECT_EQ(skin->pixels[panel + 3], 255);
}

TEST(EmbeddedAssets, TenSquareIcons) {
  const auto icons = embedded_icons();
  ASSERT_EQ(icons.size(), 10u);
  std::uint32_t previous = 0;
  for (const auto& icon : icons) {
    EXPECT_GT(icon.size, previous);
    previous = icon.size;
    const auto decoded = decode_png(icon.png, std::uint64_t{icon.size} * icon.size);
    ASSERT_TRUE(decoded) << icon.size;
    EXPECT_EQ(decoded->width, icon.size);
    EXPECT_EQ(decoded->height, icon.size);
    EXPECT_TRUE(decoded->stored_as_rgba8);
  }
  EXPECT_EQ(icons.front().size, 16u);
  EXPECT_EQ(icons.back().size, 256u);
}

TEST(EmbeddedAssets, LabelFontIsTheBoldFace) {
  auto font = PrivateFont::add_memory(embedded_label_font());
  ASSERT_TRUE(font) << font.error().to_string();
  EXPECT_EQ(font->face_count(), 1);
  EXPECT_FALSE(font->file());
  const auto choice = choose_font("Cinzel Decorative", 700);
  ASSERT_TRUE(choice);
  EXPECT_EQ(choice->family, "Cinzel Decorative");
  ASSERT_TRUE(choice->bytes);
  EXPECT_EQ(choice->bytes->size(), embedded_label_font().size());
}

}  // namespace
}  // namespace qv
