#include "platform/window_shape.hpp"

#include <X11/extensions/shape.h>

namespace qv::platform {

std::vector<std::uint8_t> visibility_mask(std::span<const std::uint8_t> bgra, std::int32_t width,
                                          std::int32_t height) {
  const auto columns = static_cast<std::size_t>(width);
  const std::size_t stride = (columns + 7) / 8;
  std::vector<std::uint8_t> mask(stride * static_cast<std::size_t>(height), 0);
  const std::uint8_t* alpha = bgra.data() + 3;
  for (std::size_t y = 0; y < static_cast<std::size_t>(height); ++y) {
    std::uint8_t* row = mask.data() + y * stride;
    for (std::size_t x = 0; x < columns; ++x, alpha += 4) {
      if (*alpha >= kShapeAlphaThreshold) row[x / 8] = static_cast<std::uint8_t>(row[x / 8] | (1u << (x % 8)));
    }
  }
  return mask;
}

namespace x11 {

bool has_shape_extension(Connection& connection) {
  int event_base = 0;
  int error_base = 0;
  return XShapeQueryExtension(connection.display(), &event_base, &error_base) != False;
}

void set_bounding_mask(Connection& connection, ::Window window, const std::vector<std::uint8_t>& mask,
                       std::int32_t width, std::int32_t height) {
  Display* display = connection.display();
  // Xlib reads the bits and does not keep them.
  const Pixmap bitmap = XCreateBitmapFromData(display, window, reinterpret_cast<const char*>(mask.data()),
                                              static_cast<unsigned>(width), static_cast<unsigned>(height));
  if (bitmap == 0) return;
  XShapeCombineMask(display, window, ShapeBounding, 0, 0, bitmap, ShapeSet);
  XFreePixmap(display, bitmap);
}

void clear_bounding_shape(Connection& connection, ::Window window) {
  XShapeCombineMask(connection.display(), window, ShapeBounding, 0, 0, None, ShapeSet);
}

}  // namespace x11
}  // namespace qv::platform
