#include "desktop/assets.hpp"

#include <array>

// Symbols of the assembler source that the build generates: the bytes of each
// file and their count.
#define QV_DECLARE_ASSET(name)                     \
  extern "C" const std::uint8_t qv_asset_##name[]; \
  extern "C" const std::uint64_t qv_asset_##name##_size;

QV_DECLARE_ASSET(label_font)
QV_DECLARE_ASSET(skin)
QV_DECLARE_ASSET(icon_16)
QV_DECLARE_ASSET(icon_20)
QV_DECLARE_ASSET(icon_24)
QV_DECLARE_ASSET(icon_32)
QV_DECLARE_ASSET(icon_40)
QV_DECLARE_ASSET(icon_48)
QV_DECLARE_ASSET(icon_64)
QV_DECLARE_ASSET(icon_96)
QV_DECLARE_ASSET(icon_128)
QV_DECLARE_ASSET(icon_256)

#define QV_ASSET(name) std::span<const std::uint8_t>(qv_asset_##name, qv_asset_##name##_size)

namespace qv {

std::span<const std::uint8_t> embedded_label_font() { return QV_ASSET(label_font); }

std::span<const std::uint8_t> embedded_skin_png() { return QV_ASSET(skin); }

std::span<const EmbeddedIcon> embedded_icons() {
  static const std::array<EmbeddedIcon, 10> icons = {{
      {16, QV_ASSET(icon_16)},
      {20, QV_ASSET(icon_20)},
      {24, QV_ASSET(icon_24)},
      {32, QV_ASSET(icon_32)},
      {40, QV_ASSET(icon_40)},
      {48, QV_ASSET(icon_48)},
      {64, QV_ASSET(icon_64)},
      {96, QV_ASSET(icon_96)},
      {128, QV_ASSET(icon_128)},
      {256, QV_ASSET(icon_256)},
  }};
  return icons;
}

}  // namespace qv
