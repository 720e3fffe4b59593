// Measures scale_skin at the usual window scales beside pamscale (netpbm,
// bilinear "triangle" filter) scaling the same skin to the same size; the
// cost of one frame's effects and texts (two glows, the sweeping bar, two
// status lines and six labels) at two scales; and one whole frame as the
// window draws it while a job runs without a known total (composed, and
// rendered onto a headless window), with one render preview (both images
// encoded as PNG and written atomically with the report) beside pamtopng
// (netpbm) encoding the same image, at three scales.
//
//   desktop_bench [--runs N]
//
// Each figure is the best of N runs (default 5). pamscale and pamtopng are
// timed as whole processes reading a file in /tmp (start-up and file reading
// included, as a user would run them); without them the line says so.
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

#include <fmt/format.h>

#include "desktop/assets.hpp"
#include "desktop/design_space.hpp"
#include "desktop/frame.hpp"
#include "desktop/loaded_font.hpp"
#include "desktop/png_codec.hpp"
#include "desktop/preview.hpp"
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

// An image as a PAM file (RGB_ALPHA), the form the netpbm tools read.
void write_pam(const fs::path& path, const std::vector<std::uint8_t>& rgba, qv::FrameSize size) {
  std::ofstream out(path, std::ios::binary);
  out << "P7\nWIDTH " << size.width << "\nHEIGHT " << size.height
      << "\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n";
  out.write(reinterpret_cast<const char*>(rgba.data()), static_cast<std::streamsize>(rgba.size()));
}

bool have(const char* tool) { return std::system(fmt::format("command -v {} >/dev/null 2>&1", tool).c_str()) == 0; }

// The best time of a shell command, or "not installed" without `tool`.
std::string command_ms(int runs, const char* tool, const std::string& command) {
  if (!have(tool)) return "not installed";
  return fmt::format("{:.1f}", best_ms(runs, [&] { (void)std::system(command.c_str()); }));
}

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

  const fs::path pam = fs::temp_directory_path() / "qv-desktop-bench-skin.pam";
  write_pam(pam, skin->pixels, {qv::kBaseWidth, qv::kBaseHeight});
  std::printf("\n%-8s %-11s %14s %22s\n", "scale", "size", "scale_skin ms", "pamscale (process) ms");
  for (const double scale : {0.625, 0.9375, 1.0, 1.5, 2.0}) {
    const qv::FrameSize size = qv::frame_size(scale);
    const double ours = best_ms(runs, [&] { (void)qv::scale_skin(skin->pixels, size.width, size.height); });
    const std::string theirs =
        command_ms(runs, "pamscale",
                   fmt::format("pamscale -filter triangle -xsize {} -ysize {} {} > /dev/null", size.width,
                               size.height, pam.string()));
    std::printf("%-8.4g %4dx%-6d %14.1f %22s\n", scale, size.width, size.height, ours, theirs.c_str());
  }
  fs::remove(pam);

  auto added = qv::PrivateFont::add_memory(qv::embedded_label_font());
  if (!added) return 1;
  qv::AppState state(qv::LoadedFont{qv::kLabelFontFamily, std::move(*added), qv::kLabelFontWeight}, skin->pixels);
  const qv::LoadedFont& font = state.font;
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

  // Whole frames through the renderer, as while a download of unknown size runs.
  state.busy = true;
  state.hover = 0;
  state.progress = qv::Progress{qv::Stage::Download, 851853312, std::nullopt, qv::ProgressUnit::Bytes,
                                "data/texture/ชุดเกราะ_ทองคำ.pak"};
  const fs::path folder = fs::temp_directory_path() / "qv-desktop-bench-preview";
  fs::create_directories(folder);
  qv::platform::Window window = qv::platform::Window::create_headless({});
  const std::vector<std::string> preview_args = {"Launcher.exe", "--render-preview", (folder / "frame.png").string()};
  std::printf("\n%-7s %-10s %11s %11s %11s %12s %20s\n", "scale", "size", "compose ms", "render ms", "encode ms",
              "preview ms", "pamtopng (process) ms");
  for (const double scale : {0.625, 1.0, 2.0}) {
    state.set_scale(scale);
    const qv::FrameSize size = qv::frame_size(scale);
    const double compose = best_ms(runs, [&] { (void)qv::compose_frame(state, Clock::now()); });
    const double render = best_ms(runs, [&] { (void)qv::render_frame_with(window, state, {}); });
    const auto frame = qv::compose_frame(state, Clock::now());
    if (!frame) return 1;
    const auto rgba = qv::to_straight_rgba(frame->pixels);
    const double encode = best_ms(runs, [&] {
      (void)qv::encode_png(rgba, static_cast<std::uint32_t>(size.width), static_cast<std::uint32_t>(size.height));
    });
    // The preview's own share of a frame under --render-watch.
    const double preview = best_ms(runs, [&] { (void)qv::render_frame_with(window, state, preview_args); }) - render;
    write_pam(folder / "frame.pam", rgba, size);
    const std::string theirs = command_ms(
        runs, "pamtopng", fmt::format("pamtopng {} > {}", (folder / "frame.pam").string(), (folder / "theirs.png").string()));
    std::printf("%-7.4g %4dx%-5d %11.2f %11.2f %11.1f %12.1f %20s\n", scale, size.width, size.height, compose, render,
                encode, preview, theirs.c_str());
  }
  fs::remove_all(folder);
  return 0;
}
