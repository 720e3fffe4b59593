// The font binding of the desktop: the one module that calls FreeType,
// HarfBuzz and fontconfig.
//
// Fonts are found the way the window expects of its system: a family asked
// for is looked up first among the fonts this process added privately (from
// memory or from a file), then among the system's fonts through fontconfig,
// which substitutes another face when the family is missing; the caller sees
// the family of the face it got and decides whether a substitute will do.
//
// Every call is safe on any thread; a `SizedFace` itself belongs to one thread
// at a time.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.hpp"

namespace qv {

// A font added to this process's private set; removing it (the destructor)
// takes its faces out of the set exactly once. Faces already opened from it
// stay usable.
class PrivateFont {
 public:
  // Adds the font in `bytes` (copied). Fails when FreeType cannot read it.
  static Result<PrivateFont> add_memory(std::span<const std::uint8_t> bytes);
  // Adds the font file at `path`, read from that path whenever a face of it
  // is opened. Fails when FreeType cannot read it.
  static Result<PrivateFont> add_file(const std::filesystem::path& path);

  PrivateFont(PrivateFont&& other) noexcept;
  PrivateFont& operator=(PrivateFont&& other) noexcept;
  PrivateFont(const PrivateFont&) = delete;
  PrivateFont& operator=(const PrivateFont&) = delete;
  ~PrivateFont();

  // The number of faces the font holds (a collection holds several).
  int face_count() const { return face_count_; }
  // The file the font was added from; none for a font from memory.
  const std::optional<std::filesystem::path>& file() const { return file_; }

 private:
  PrivateFont(std::uint64_t id, int face_count, std::optional<std::filesystem::path> file)
      : id_(id), face_count_(face_count), file_(std::move(file)) {}
  std::uint64_t id_ = 0;  // 0: moved from
  int face_count_ = 0;
  std::optional<std::filesystem::path> file_;
};

// The face the system gives for a family and weight.
struct FontChoice {
  // The family of the face actually chosen, as the font names it.
  std::string family;
  // Its bytes (a private font from memory), else its file.
  std::shared_ptr<const std::vector<std::uint8_t>> bytes;
  std::filesystem::path file;
  int index = 0;  // face index inside the font
};

// The face for `family` at `weight` (100..900): the private face of that
// family (ASCII case ignored) nearest in weight, else fontconfig's match,
// which prefers faces that support `language` (such as "th") when given.
// Fails only when no face at all can be found.
Result<FontChoice> choose_font(std::string_view family, std::int32_t weight, std::string_view language = {});

// Ink and advance of one glyph at the face's pixel size, y upward from the
// baseline, in whole pixels.
struct GlyphMetrics {
  std::int32_t black_width = 0;
  std::int32_t black_height = 0;
  std::int32_t origin_x = 0;  // left of the ink from the pen
  std::int32_t origin_y = 0;  // top of the ink above the baseline
  std::int32_t advance = 0;   // pen movement
};

// An 8-bit coverage bitmap of one glyph; valid until the face renders again.
struct GlyphBitmap {
  std::int32_t left = 0;  // from the pen to the first column
  std::int32_t top = 0;   // from the baseline up to the first row
  std::int32_t width = 0;
  std::int32_t rows = 0;
  std::int32_t pitch = 0;
  const std::uint8_t* coverage = nullptr;
  std::int32_t advance = 0;  // pen movement, whole pixels
};

// One glyph of shaped text, in 26.6 fixed point (1/64 pixel).
struct ShapedGlyph {
  std::uint32_t glyph = 0;
  std::uint32_t cluster = 0;  // byte offset of its cluster in the text
  std::int32_t x_advance = 0;
  std::int32_t x_offset = 0;
  std::int32_t y_offset = 0;  // upward
};

// A face opened at a pixel height (the em height, as a font's character
// height is given).
class SizedFace {
 public:
  static Result<SizedFace> open(const FontChoice& choice, std::int32_t pixel_height);

  SizedFace(SizedFace&&) noexcept;
  SizedFace& operator=(SizedFace&&) noexcept;
  ~SizedFace();

  Status set_pixel_height(std::int32_t pixel_height);
  std::int32_t pixel_height() const { return pixel_height_; }

  // The glyph the font maps `code` to; 0 (the missing-glyph shape) when none.
  std::uint32_t glyph_index(std::uint32_t code) const;
  // Metrics of a glyph as rendered with light hinting and anti-aliasing (the
  // box `render_glyph` fills), without rendering it.
  Result<GlyphMetrics> glyph_metrics(std::uint32_t glyph);
  // Renders a glyph with the same settings as `glyph_metrics`.
  Result<GlyphBitmap> render_glyph(std::uint32_t glyph);

  // The line's extent above and below the baseline, in whole pixels.
  std::int32_t ascent() const;
  std::int32_t descent() const;

  // `text` (UTF-8) shaped left to right at the pixel height, with the font's
  // own positioning (so marks sit on their bases and do not advance).
  std::vector<ShapedGlyph> shape(std::string_view text);

 private:
  struct State;
  explicit SizedFace(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
  std::int32_t pixel_height_ = 0;
};

// A face of `choice` at `pixel_height` from a small cache of the calling
// thread, so that a frame's texts do not parse and analyse their fonts anew
// each time. The face stays valid until the thread's next call; a font
// removed from the process is never handed out again, as `choose_font` no
// longer chooses it.
Result<SizedFace*> cached_face(const FontChoice& choice, std::int32_t pixel_height);

}  // namespace qv
