#include "desktop/png_codec.hpp"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace qv {
namespace {

std::span<const std::uint8_t> bytes_of(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

TEST(PngCodec, RoundTripsStraightRgba) {
  std::vector<std::uint8_t> pixels;
  for (int i = 0; i < 5 * 3; ++i) {
    pixels.insert(pixels.end(), {static_cast<std::uint8_t>(i * 17), 3, 250, static_cast<std::uint8_t>(i * 9)});
  }
  const auto png = encode_png(pixels, 5, 3);
  ASSERT_TRUE(png) << png.error().to_string();
  const auto decoded = decode_png(bytes_of(*png), 15);
  ASSERT_TRUE(decoded) << decoded.error().to_string();
  EXPECT_EQ(decoded->width, 5u);
  EXPECT_EQ(decoded->height, 3u);
  EXPECT_TRUE(decoded->stored_as_rgba8);
  // Colours of translucent and clear pixels come back as they went in.
  EXPECT_EQ(decoded->pixels, pixels);
}

TEST(PngCodec, RefusesBadInput) {
  EXPECT_FALSE(encode_png(std::vector<std::uint8_t>(12), 2, 2));
  const auto png = encode_png(std::vector<std::uint8_t>(64 * 64 * 4, 9), 64, 64);
  ASSERT_TRUE(png);
  // Larger than allowed: refused from the header, before any pixel memory.
  const auto large = decode_png(bytes_of(*png), 64 * 64 - 1);
  ASSERT_FALSE(large);
  EXPECT_EQ(large.error().to_string(), "PNG decoding: image of 64x64 pixels is too large");
  // Truncated and foreign data carry the codec's message.
  const auto truncated = decode_png(bytes_of(png->substr(0, png->size() / 2)), 1u << 20);
  ASSERT_FALSE(truncated);
  EXPECT_TRUE(truncated.error().to_string().starts_with("PNG decoding: ")) << truncated.error().to_string();
  EXPECT_FALSE(decode_png(bytes_of("GIF89a, not a PNG at all"), 1u << 20));
}

}  // namespace
}  // namespace qv
