// Measures scale_skin at the usual window scales beside pamscale (netpbm,
// bilinear "triangle" filter) scaling the same skin to the same size, and the
// cost of one frame's effects and texts (two glows, the sweeping bar, two
// status lines and six labels) at two scales.
//
//   desktop_bench [--runs N]
//
// Each figure is the best of N runs (default 5). pamscale is timed as a
// whole process reading the skin from a file in /tmp (its start-up and file
// reading included, as a user would run it); without it the line says so.
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "desktop/assets.hpp"
#include "desktop/design_space.hpp"
#include "desktop/loaded_font.hpp"
#include "desktop/png_codec.hpp"
#include "desktop/text.hpp"
#include "desktop/theme.hpp"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double best_ms(int runs, const std::function<void()>& work) {
  double best = 1e300;
  for (int i = 0; i < runs; ++i) {
    const auto start = Clock::now();
    work();
    best = std::min(best, std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  return best;
}

// The skin as a PAM file (RGB_ALPHA), the form pamscale reads.
void write_pam(const fs::path& path, const std::vector<std::uint8_t>& rgba) {
  std::ofstream out(path, std::ios::binary);
  out << "P7\nWIDTH " << qv::kBaseWidth << "\nHEIGHT " << qv::kBaseHeight
      << "\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n";
  out.write(reinterpret_cast<const char*>(rgba.data()), static_cast<std::streamsize>(rgba.size()));
}

bool have_pamscale() { return std::system("command -v pamscale >/dev/null 2>&1") == 0; }

}  // namespace

int main(int argc, char** argv) {
  int runs = 5;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--runs" && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else {
      std::fprintf(stderr, "usage: desktop_bench [--runs N]\n");
      return 2;
    }
  }
  const auto skin = qv::decode_png(qv::embedded_skin_png(), std::uint64_t{qv::kBaseWidth} * qv::kBaseHeight);
  if (!skin) {
    std::fprintf(stderr, "%s\n", skin.error().to_string().c_str());
    return 1;
  }
  std::printf("decode skin PNG: %.1f ms\n", best_ms(runs, [&] {
                (void)qv::decode_png(qv::embedded_skin_png(), std::uint64_t{qv::kBaseWidth} * qv::kBaseHeight);
              }));

  const bool pamscale = have_pamscale();
  const fs::path pam = fs::temp_directory_path() / "qv-desktop-bench-skin.pam";
  if (pamscale) write_pam(pam, skin->pixels);
  std::printf("\n%-8s %-11s %14s %22s\n", "scale", "size", "scale_skin ms", "pamscale (process) ms");
  for (const double scale : {0.625, 0.9375, 1.0, 1.5, 2.0}) {
    const qv::FrameSize size = qv::frame_size(scale);
    const double ours = best_ms(runs, [&] { (void)qv::scale_skin(skin->pixels, size.width, size.height); });
    std::string theirs = "not installed";
    if (pamscale) {
      const std::string command = "pamscale -filter triangle -xsize " + std::to_string(size.width) + " -ysize " +
                                  std::to_string(size.height) + " " + pam.string() + " > /dev/null";
      theirs = std::to_string(best_ms(runs, [&] { (void)std::system(command.c_str()); }));
      theirs.resize(theirs.find('.') + 2);
    }
    std::printf("%-8.4g %4dx%-6d %14.1f %22s\n", scale, size.width, size.height, ours, theirs.c_str());
  }
  if (pamscale) fs::remove(pam);

  auto added = qv::PrivateFont::add_memory(qv::embedded_label_font());
  if (!added) return 1;
  const qv::LoadedFont font{qv::kLabelFontFamily, std::move(*added), qv::kLabelFontWeight};
  std::printf("\n%-8s %14s %14s %14s   (the window ticks every 100 ms)\n", "scale", "effects ms", "texts ms", "frame ms");
  for (const double scale : {0.625, 1.0}) {
    const qv::FrameSize size = qv::frame_size(scale);
    const auto background = qv::scale_skin(skin->pixels, size.width, size.height);
    std::vector<std::uint8_t> frame;
    const auto effects = [&] {
      frame = background;
      const qv::FrameView view{frame, size.width, size.height};
      qv::draw_glow(view, scale, 0);
      qv::draw_glow(view, scale, 4);
      qv::draw_progress_bar(view, scale, std::nullopt, 1.3);
    };
    const auto texts = [&] {
      std::vector<qv::FontMetrics> metrics;
      qv::TextContext context{{frame, size.width, size.height}, scale, font, metrics};
      (void)qv::draw_text(context, "ดาวน์โหลดแพตช์  812.4/1310.0 MiB • 62%", {410, 661, 1124, 682}, 20,
                          qv::TextMode::Body);
      (void)qv::draw_text(context, "data/texture/ชุดเกราะ_ทองคำ.pak", {410, 682, 1124, 703}, 19, qv::TextMode::Body);
      for (std::size_t i = 0; i < 6; ++i) {
        const auto& t = qv::TARGETS[i];
        (void)qv::draw_text(context, t.label, t.label_box, t.label_size, qv::TextMode::Label);
      }
    };
    const double e = best_ms(runs, effects);
    const double t = best_ms(runs, texts);
    const double f = best_ms(runs, [&] {
      effects();
      texts();
    });
    std::printf("%-8.4g %14.2f %14.2f %14.2f\n", scale, e, t, f);
  }
  return 0;
}
