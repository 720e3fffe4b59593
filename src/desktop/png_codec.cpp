#include "desktop/png_codec.hpp"

#include <png.h>

#include <cstring>

#include <fmt/format.h>

namespace qv {
namespace {

Error png_error(const png_image& image, std::string_view what) {
  return Error(fmt::format("{}: {}", what, image.message[0] ? image.message : "unknown error"));
}

}  // namespace

Result<RgbaImage> decode_png(std::span<const std::uint8_t> bytes, std::uint64_t max_pixels) {
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size())) {
    return fail(png_error(image, "PNG decoding"));
  }
  RgbaImage out;
  out.width = image.width;
  out.height = image.height;
  // The file's own format: RGBA without a palette (no colour-map flag) and
  // 8 bits a channel (no linear flag).
  out.stored_as_rgba8 = image.format == PNG_FORMAT_RGBA;
  if (std::uint64_t{image.width} * image.height > max_pixels) {
    png_image_free(&image);
    return fail(fmt::format("PNG decoding: image of {}x{} pixels is too large", image.width, image.height));
  }
  image.format = PNG_FORMAT_RGBA;
  out.pixels.resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, out.pixels.data(), 0, nullptr)) {
    const Error error = png_error(image, "PNG decoding");
    png_image_free(&image);
    return fail(error);
  }
  return out;
}

Result<std::string> encode_png(std::span<const std::uint8_t> rgba, std::uint32_t width, std::uint32_t height) {
  if (rgba.size() != std::uint64_t{width} * height * 4) return fail("PNG encoding: pixel count does not match the size");
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  image.width = width;
  image.height = height;
  image.format = PNG_FORMAT_RGBA;
  // One pass into a buffer of the largest size the encoding can have: asking
  // for the size first would compress the whole image twice.
  png_alloc_size_t size = PNG_IMAGE_PNG_SIZE_MAX(image);
  std::string out(size, '\0');
  if (!png_image_write_to_memory(&image, out.data(), &size, 0, rgba.data(), 0, nullptr)) {
    return fail(png_error(image, "PNG encoding"));
  }
  out.resize(size);
  return out;
}

}  // namespace qv
