#include "desktop/font_binding.hpp"

#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_OUTLINE_H
#include FT_SFNT_NAMES_H
#include FT_TRUETYPE_IDS_H
#include FT_TRUETYPE_TABLES_H
#include <hb-ft.h>
#include <hb.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <tuple>

#include <fmt/format.h>

#include "core/foundations/unicode.hpp"
#include "desktop/utf16.hpp"

namespace qv {
namespace {

// Glyphs are hinted lightly (vertically only), so that advances stay whole
// pixels without distorting the letter shapes, and rendered anti-aliased.
constexpr FT_Int32 kLoadFlags = FT_LOAD_TARGET_LIGHT | FT_LOAD_NO_BITMAP;

// Far larger than any text of a frame at the largest scale; keeps a bogus
// height from asking the rasteriser for gigantic bitmaps.
constexpr std::int32_t kMaxPixelHeight = 4096;

Error freetype_error(std::string_view what, FT_Error code) {
  const char* text = FT_Error_String(code);
  return Error(fmt::format("{}: {}", what, text ? text : fmt::format("FreeType error {}", code)));
}

// FreeType's library object is not thread-safe: creating and releasing faces
// goes through this lock, while each face is used by one thread at a time.
struct Library {
  std::mutex mutex;
  FT_Library handle = nullptr;
  FT_Error init_error = 0;
  Library() { init_error = FT_Init_FreeType(&handle); }
  ~Library() {
    if (handle) FT_Done_FreeType(handle);
  }
};

Library& library() {
  static Library lib;
  return lib;
}

// Opens a face of a font from memory or from a file; the caller holds the
// library lock.
Result<FT_Face> open_face_locked(const std::shared_ptr<const std::vector<std::uint8_t>>& bytes,
                                 const std::filesystem::path& file, int index) {
  Library& lib = library();
  if (lib.init_error) return fail(freetype_error("font library", lib.init_error));
  FT_Face face = nullptr;
  FT_Error error = 0;
  if (bytes) {
    error = FT_New_Memory_Face(lib.handle, bytes->data(), static_cast<FT_Long>(bytes->size()), index, &face);
  } else {
    error = FT_New_Face(lib.handle, file.c_str(), index, &face);
  }
  if (error) return fail(freetype_error("cannot read font", error));
  return face;
}

// One face of a private font and the names it answers to.
struct PrivateFace {
  int index = 0;
  std::vector<std::string> families;
  std::int32_t weight = 400;
};

struct PrivateEntry {
  std::shared_ptr<const std::vector<std::uint8_t>> bytes;
  std::filesystem::path file;
  std::vector<PrivateFace> faces;
};

struct Registry {
  std::mutex mutex;
  std::uint64_t next_id = 1;
  std::map<std::uint64_t, PrivateEntry> entries;  // in the order added
};

Registry& registry() {
  static Registry r;
  return r;
}

// The family names of a face: the name FreeType gives it and the font's own
// family records (the legacy four-style family and the typographic family),
// as a system's font mapper would match them.
std::vector<std::string> face_families(FT_Face face) {
  std::vector<std::string> names;
  const auto add = [&names](std::string name) {
    if (name.empty()) return;
    for (const auto& known : names) {
      if (known == name) return;
    }
    names.push_back(std::move(name));
  };
  if (face->family_name) add(face->family_name);
  const FT_UInt count = FT_Get_Sfnt_Name_Count(face);
  for (FT_UInt i = 0; i < count; ++i) {
    FT_SfntName name;
    if (FT_Get_Sfnt_Name(face, i, &name) != 0) continue;
    if (name.name_id != TT_NAME_ID_FONT_FAMILY && name.name_id != TT_NAME_ID_TYPOGRAPHIC_FAMILY) continue;
    if (name.platform_id == TT_PLATFORM_MICROSOFT) {
      // UTF-16 big-endian.
      std::u16string units;
      for (FT_UInt k = 0; k + 1 < name.string_len; k += 2) {
        units.push_back(static_cast<char16_t>((name.string[k] << 8) | name.string[k + 1]));
      }
      add(utf16_to_utf8(units));
    } else if (name.platform_id == TT_PLATFORM_MACINTOSH && name.encoding_id == TT_MAC_ID_ROMAN) {
      std::string ascii;
      for (FT_UInt k = 0; k < name.string_len; ++k) {
        if (name.string[k] < 0x80) ascii.push_back(static_cast<char>(name.string[k]));
      }
      add(std::move(ascii));
    }
  }
  return names;
}

std::int32_t face_weight(FT_Face face) {
  const auto* os2 = static_cast<const TT_OS2*>(FT_Get_Sfnt_Table(face, FT_SFNT_OS2));
  if (os2 && os2->usWeightClass >= 1 && os2->usWeightClass <= 1000) return os2->usWeightClass;
  return (face->style_flags & FT_STYLE_FLAG_BOLD) ? 700 : 400;
}

// Reads every face of a font for the registry.
Result<std::vector<PrivateFace>> read_faces(const std::shared_ptr<const std::vector<std::uint8_t>>& bytes,
                                            const std::filesystem::path& file) {
  std::lock_guard lock(library().mutex);
  std::vector<PrivateFace> faces;
  FT_Long count = 1;
  for (FT_Long index = 0; index < count; ++index) {
    FT_Face face = QV_TRY(open_face_locked(bytes, file, static_cast<int>(index)));
    if (index == 0) count = face->num_faces;
    faces.push_back({static_cast<int>(index), face_families(face), face_weight(face)});
    FT_Done_Face(face);
  }
  return faces;
}

Result<std::uint64_t> register_font(std::shared_ptr<const std::vector<std::uint8_t>> bytes,
                                    const std::filesystem::path& file, int& face_count) {
  auto faces = QV_TRY(read_faces(bytes, file));
  face_count = static_cast<int>(faces.size());
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  const std::uint64_t id = r.next_id++;
  r.entries.emplace(id, PrivateEntry{std::move(bytes), file, std::move(faces)});
  return id;
}

std::optional<FontChoice> choose_private(std::string_view family, std::int32_t weight) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  std::optional<FontChoice> best;
  std::int32_t best_distance = 0;
  for (const auto& [id, entry] : r.entries) {
    for (const auto& face : entry.faces) {
      for (const auto& name : face.families) {
        if (!equals_ignoring_ascii_case(name, family)) continue;
        const std::int32_t distance = std::abs(face.weight - weight);
        if (!best || distance < best_distance) {
          best = FontChoice{name, entry.bytes, entry.file, face.index};
          best_distance = distance;
        }
        break;
      }
    }
  }
  return best;
}

// fontconfig's answers, kept for the life of the process: the set of system
// fonts does not change under a running launcher.
struct SystemFonts {
  std::mutex mutex;
  FcConfig* config = nullptr;
  std::map<std::tuple<std::string, std::int32_t, std::string>, FontChoice> cache;
  // Releases the configuration at exit: fontconfig keeps part of it where
  // only the configuration itself can free it.
  ~SystemFonts() {
    if (config) FcConfigDestroy(config);
  }
};

SystemFonts& system_fonts() {
  static SystemFonts s;
  return s;
}

Result<FontChoice> choose_system(std::string_view family, std::int32_t weight, std::string_view language) {
  SystemFonts& s = system_fonts();
  std::lock_guard lock(s.mutex);
  const auto key = std::make_tuple(std::string(family), weight, std::string(language));
  if (auto it = s.cache.find(key); it != s.cache.end()) return it->second;
  if (!s.config) s.config = FcInitLoadConfigAndFonts();
  if (!s.config) return fail("fontconfig: cannot load the font configuration");

  FcPattern* pattern = FcPatternCreate();
  const std::string family_text(family);
  FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>(family_text.c_str()));
  FcPatternAddDouble(pattern, FC_WEIGHT, FcWeightFromOpenTypeDouble(std::clamp(weight, 1, 1000)));
  FcPatternAddBool(pattern, FC_SCALABLE, FcTrue);
  if (!language.empty()) {
    FcLangSet* langs = FcLangSetCreate();
    FcLangSetAdd(langs, reinterpret_cast<const FcChar8*>(std::string(language).c_str()));
    FcPatternAddLangSet(pattern, FC_LANG, langs);
    FcLangSetDestroy(langs);
  }
  FcConfigSubstitute(s.config, pattern, FcMatchPattern);
  FcDefaultSubstitute(pattern);
  FcResult result = FcResultNoMatch;
  FcPattern* match = FcFontMatch(s.config, pattern, &result);
  FcPatternDestroy(pattern);
  if (!match) return fail(fmt::format("fontconfig: no font for {}", family));

  FcChar8* file = nullptr;
  FcChar8* matched_family = nullptr;
  int index = 0;
  const bool has_file = FcPatternGetString(match, FC_FILE, 0, &file) == FcResultMatch;
  FcPatternGetString(match, FC_FAMILY, 0, &matched_family);
  FcPatternGetInteger(match, FC_INDEX, 0, &index);
  FontChoice choice;
  if (has_file) choice.file = reinterpret_cast<const char*>(file);
  if (matched_family) choice.family = reinterpret_cast<const char*>(matched_family);
  choice.index = index;
  FcPatternDestroy(match);
  if (!has_file) return fail(fmt::format("fontconfig: no font file for {}", family));
  s.cache.emplace(key, choice);
  return choice;
}

}  // namespace

Result<PrivateFont> PrivateFont::add_memory(std::span<const std::uint8_t> bytes) {
  auto copy = std::make_shared<const std::vector<std::uint8_t>>(bytes.begin(), bytes.end());
  int faces = 0;
  const std::uint64_t id = QV_TRY(register_font(std::move(copy), {}, faces));
  return PrivateFont(id, faces, std::nullopt);
}

Result<PrivateFont> PrivateFont::add_file(const std::filesystem::path& path) {
  int faces = 0;
  const std::uint64_t id = QV_TRY(register_font(nullptr, path, faces));
  return PrivateFont(id, faces, path);
}

PrivateFont::PrivateFont(PrivateFont&& other) noexcept
    : id_(std::exchange(other.id_, 0)), face_count_(other.face_count_), file_(std::move(other.file_)) {}

PrivateFont& PrivateFont::operator=(PrivateFont&& other) noexcept {
  if (this != &other) {
    PrivateFont old(std::move(*this));
    id_ = std::exchange(other.id_, 0);
    face_count_ = other.face_count_;
    file_ = std::move(other.file_);
  }
  return *this;
}

PrivateFont::~PrivateFont() {
  if (id_ == 0) return;
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  r.entries.erase(id_);
}

Result<FontChoice> choose_font(std::string_view family, std::int32_t weight, std::string_view language) {
  if (auto mine = choose_private(family, weight)) return *mine;
  return choose_system(family, weight, language);
}

struct SizedFace::State {
  std::shared_ptr<const std::vector<std::uint8_t>> bytes;  // keeps a memory face's data alive
  FT_Face face = nullptr;
  hb_font_t* shaper = nullptr;

  ~State() {
    std::lock_guard lock(library().mutex);
    if (shaper) hb_font_destroy(shaper);  // drops its reference to the face
    if (face) FT_Done_Face(face);
  }
};

SizedFace::SizedFace(std::unique_ptr<State> state) : state_(std::move(state)) {}
SizedFace::SizedFace(SizedFace&&) noexcept = default;
SizedFace& SizedFace::operator=(SizedFace&&) noexcept = default;
SizedFace::~SizedFace() = default;

Result<SizedFace> SizedFace::open(const FontChoice& choice, std::int32_t pixel_height) {
  auto state = std::make_unique<State>();
  state->bytes = choice.bytes;
  {
    std::lock_guard lock(library().mutex);
    state->face = QV_TRY(open_face_locked(choice.bytes, choice.file, choice.index));
    hb_face_t* hb_face = hb_ft_face_create_referenced(state->face);
    state->shaper = hb_font_create(hb_face);
    hb_face_destroy(hb_face);
  }
  SizedFace sized(std::move(state));
  QV_TRY(sized.set_pixel_height(pixel_height));
  return sized;
}

Status SizedFace::set_pixel_height(std::int32_t pixel_height) {
  if (pixel_height <= 0 || pixel_height > kMaxPixelHeight) {
    return fail(fmt::format("font height {} out of range", pixel_height));
  }
  if (const FT_Error error = FT_Set_Pixel_Sizes(state_->face, 0, static_cast<FT_UInt>(pixel_height))) {
    return fail(freetype_error("font size", error));
  }
  // Shaping works in 1/64 pixel, unhinted, from the font's own units.
  hb_font_set_scale(state_->shaper, pixel_height * 64, pixel_height * 64);
  pixel_height_ = pixel_height;
  return {};
}

std::uint32_t SizedFace::glyph_index(std::uint32_t code) const { return FT_Get_Char_Index(state_->face, code); }

Result<GlyphBitmap> SizedFace::render_glyph(std::uint32_t glyph) {
  if (const FT_Error error = FT_Load_Glyph(state_->face, glyph, kLoadFlags)) {
    return fail(freetype_error("glyph", error));
  }
  FT_GlyphSlot slot = state_->face->glyph;
  if (const FT_Error error = FT_Render_Glyph(slot, FT_RENDER_MODE_NORMAL)) {
    return fail(freetype_error("glyph", error));
  }
  if (slot->bitmap.pixel_mode != FT_PIXEL_MODE_GRAY && slot->bitmap.width != 0) {
    return fail("glyph: not a grey-level bitmap");
  }
  return GlyphBitmap{slot->bitmap_left,
                     slot->bitmap_top,
                     static_cast<std::int32_t>(slot->bitmap.width),
                     static_cast<std::int32_t>(slot->bitmap.rows),
                     slot->bitmap.pitch,
                     slot->bitmap.buffer,
                     static_cast<std::int32_t>((slot->advance.x + 32) >> 6)};
}

Result<GlyphMetrics> SizedFace::glyph_metrics(std::uint32_t glyph) {
  // The ink box without rasterising: the outline's control box rounded out to
  // whole pixels, which is the box the anti-aliasing rasteriser fills.
  if (const FT_Error error = FT_Load_Glyph(state_->face, glyph, kLoadFlags)) {
    return fail(freetype_error("glyph", error));
  }
  FT_GlyphSlot slot = state_->face->glyph;
  const auto advance = static_cast<std::int32_t>((slot->advance.x + 32) >> 6);
  if (slot->format != FT_GLYPH_FORMAT_OUTLINE) return fail("glyph: not an outline");
  if (slot->outline.n_points == 0) return GlyphMetrics{0, 0, 0, 0, advance};
  FT_BBox box;
  FT_Outline_Get_CBox(&slot->outline, &box);
  const auto floor_px = [](FT_Pos v) { return static_cast<std::int32_t>(v >> 6); };  // arithmetic shift floors
  const auto ceil_px = [](FT_Pos v) { return static_cast<std::int32_t>((v + 63) >> 6); };
  const std::int32_t left = floor_px(box.xMin), right = ceil_px(box.xMax);
  const std::int32_t bottom = floor_px(box.yMin), top = ceil_px(box.yMax);
  return GlyphMetrics{right - left, top - bottom, left, top, advance};
}

std::int32_t SizedFace::ascent() const {
  return static_cast<std::int32_t>((state_->face->size->metrics.ascender + 63) >> 6);
}

std::int32_t SizedFace::descent() const {
  return static_cast<std::int32_t>((-state_->face->size->metrics.descender + 63) >> 6);
}

Result<SizedFace*> cached_face(const FontChoice& choice, std::int32_t pixel_height) {
  // Keyed by the font's bytes (held, so their address is not reused while
  // cached) or by its file, and the face index.
  struct Entry {
    std::shared_ptr<const std::vector<std::uint8_t>> bytes;
    std::filesystem::path file;
    int index;
    SizedFace face;
  };
  constexpr std::size_t kCapacity = 4;
  thread_local std::vector<Entry> cache;  // most recently used last
  for (auto it = cache.begin(); it != cache.end(); ++it) {
    if (it->bytes == choice.bytes && it->file == choice.file && it->index == choice.index) {
      std::rotate(it, it + 1, cache.end());
      SizedFace& face = cache.back().face;
      if (face.pixel_height() != pixel_height) QV_TRY(face.set_pixel_height(pixel_height));
      return &face;
    }
  }
  SizedFace face = QV_TRY(SizedFace::open(choice, pixel_height));
  if (cache.size() == kCapacity) cache.erase(cache.begin());
  cache.push_back(Entry{choice.bytes, choice.file, choice.index, std::move(face)});
  return &cache.back().face;
}

std::vector<ShapedGlyph> SizedFace::shape(std::string_view text) {
  hb_buffer_t* buffer = hb_buffer_create();
  hb_buffer_add_utf8(buffer, text.data(), static_cast<int>(text.size()), 0, static_cast<int>(text.size()));
  hb_buffer_guess_segment_properties(buffer);
  hb_shape(state_->shaper, buffer, nullptr, 0);
  unsigned count = 0;
  const hb_glyph_info_t* infos = hb_buffer_get_glyph_infos(buffer, &count);
  const hb_glyph_position_t* positions = hb_buffer_get_glyph_positions(buffer, &count);
  std::vector<ShapedGlyph> glyphs;
  glyphs.reserve(count);
  for (unsigned i = 0; i < count; ++i) {
    glyphs.push_back({infos[i].codepoint, infos[i].cluster, positions[i].x_advance, positions[i].x_offset,
                      positions[i].y_offset});
  }
  hb_buffer_destroy(buffer);
  return glyphs;
}

}  // namespace qv
