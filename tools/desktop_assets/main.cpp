// desktop_assets: paints the skin and the window icons, and renders the
// samples shown in the README from the embedded assets.
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "core/foundations/fileops.hpp"
#include "desktop/assets.hpp"
#include "desktop/design_space.hpp"
#include "desktop/loaded_font.hpp"
#include "desktop/png_codec.hpp"
#include "desktop/preview.hpp"
#include "desktop/text.hpp"
#include "desktop/theme.hpp"
#include "platform/fs.hpp"
#include "skin.hpp"

namespace {

namespace fs = std::filesystem;
using qv::Result;
using qv::Status;

constexpr int kIconSizes[] = {16, 20, 24, 32, 40, 48, 64, 96, 128, 256};

Status write_png(const fs::path& path, const std::vector<std::uint8_t>& rgba, std::uint32_t w, std::uint32_t h) {
  const std::string png = QV_TRY(qv::encode_png(rgba, w, h));
  QV_TRY(qv::platform::make_directories(path.parent_path()));
  return qv::write_file_atomic(path, png);
}

Status make_skin(const fs::path& assets) {
  const auto skin = QV_TRY(qv::art::paint_skin());
  QV_TRY(write_png(assets / "skin.png", skin, qv::kBaseWidth, qv::kBaseHeight));
  for (const int size : kIconSizes) {
    const auto icon = qv::art::paint_icon(size);
    QV_TRY(write_png(assets / "icons" / ("icon-" + std::to_string(size) + ".png"), icon, static_cast<std::uint32_t>(size),
                     static_cast<std::uint32_t>(size)));
  }
  return {};
}

Status make_sample(const fs::path& docs) {
  const auto decoded = QV_TRY(qv::decode_png(qv::embedded_skin_png(), std::uint64_t{qv::kBaseWidth} * qv::kBaseHeight));
  // The skin itself at half size.
  {
    const auto half = qv::scale_skin(decoded.pixels, qv::kBaseWidth / 2, qv::kBaseHeight / 2);
    QV_TRY(write_png(docs / "skin.png", qv::to_straight_rgba(half), qv::kBaseWidth / 2, qv::kBaseHeight / 2));
  }
  // A frame as the window draws it mid-install, with the primary target hovered.
  const double scale = 0.75;
  const qv::FrameSize size = qv::frame_size(scale);
  auto frame = qv::scale_skin(decoded.pixels, size.width, size.height);
  const qv::FrameView view{frame, size.width, size.height};
  qv::draw_glow(view, scale, 0);
  qv::draw_progress_bar(view, scale, 0.62, std::nullopt);
  auto added = QV_TRY(qv::PrivateFont::add_memory(qv::embedded_label_font()));
  const qv::LoadedFont font{qv::kLabelFontFamily, std::move(added), qv::kLabelFontWeight};
  QV_TRY(qv::verify_font(font));
  std::vector<qv::FontMetrics> metrics;
  qv::TextContext context{view, scale, font, metrics};
  qv::draw_text(context, "ดาวน์โหลดแพตช์  812.4/1310.0 MiB • 62%", {410, 661, 1124, 682}, 20, qv::TextMode::Body);
  qv::draw_text(context, "ตรวจสอบไฟล์ที่ดาวน์โหลดแล้ว: data/texture/ชุดเกราะ_ทองคำ.pak", {410, 682, 1124, 703}, 19,
                qv::TextMode::Body);
  for (std::size_t i = 0; i < 6; ++i) {
    const auto& target = qv::TARGETS[i];
    qv::draw_text(context, target.label, target.label_box, target.label_size, qv::TextMode::Label);
  }
  return write_png(docs / "label-sample.png", qv::to_straight_rgba(frame), static_cast<std::uint32_t>(size.width),
                   static_cast<std::uint32_t>(size.height));
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  if (args.size() != 2 || (args[0] != "skin" && args[0] != "sample")) {
    std::fprintf(stderr, "usage: desktop_assets skin <assets folder> | sample <docs folder>\n");
    return 2;
  }
  const Status done = args[0] == "skin" ? make_skin(fs::path(args[1])) : make_sample(fs::path(args[1]));
  if (!done) {
    std::fprintf(stderr, "desktop_assets: %s\n", done.error().to_string().c_str());
    return 1;
  }
  return 0;
}
