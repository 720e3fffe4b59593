// Measures one frame as the window draws it while a job runs without a known
// total (a glow, the sweeping bar, two status lines, six labels, the opaque
// areas), composed alone and rendered onto a headless window, and one render
// preview (the frame and the button block encoded as PNG and written
// atomically with the report) beside pamtopng (netpbm) encoding the same
// image from a PAM file, at three scales.
//
//   frame_bench [--runs N]
//
// Each figure is the best of N runs (default 5). pamtopng is timed as a whole
// process reading a file in /tmp and writing its PNG there (start-up
// included, as a user would run it); without it the column says so.
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
#include "desktop/frame.hpp"
#include "desktop/png_codec.hpp"
#include "desktop/preview.hpp"

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

void write_pam(const fs::path& path, const std::vector<std::uint8_t>& rgba, qv::FrameSize size) {
  std::ofstream out(path, std::ios::binary);
  out << "P7\nWIDTH " << size.width << "\nHEIGHT " << size.height
      << "\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n";
  out.write(reinterpret_cast<const char*>(rgba.data()), static_cast<std::streamsize>(rgba.size()));
}

bool have_pamtopng() { return std::system("command -v pamtopng >/dev/null 2>&1") == 0; }

}  // namespace

int main(int argc, char** argv) {
  int runs = 5;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--runs" && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else {
      std::fprintf(stderr, "usage: frame_bench [--runs N]\n");
      return 2;
    }
  }
  auto skin = qv::decode_png(qv::embedded_skin_png(), std::uint64_t{qv::kBaseWidth} * qv::kBaseHeight);
  auto font = qv::PrivateFont::add_memory(qv::embedded_label_font());
  if (!skin || !font) {
    std::fprintf(stderr, "cannot load the embedded skin or font\n");
    return 1;
  }
  qv::AppState state(qv::LoadedFont{qv::kLabelFontFamily, std::move(*font), qv::kLabelFontWeight},
                     std::move(skin->pixels));
  state.busy = true;
  state.hover = 0;
  state.status = "ตรวจสอบไฟล์";
  state.progress = qv::Progress{qv::Stage::Download, 851853312, std::nullopt, qv::ProgressUnit::Bytes,
                                "data/texture/ชุดเกราะ_ทองคำ.pak"};

  const bool pamtopng = have_pamtopng();
  const fs::path folder = fs::temp_directory_path() / "qv-frame-bench";
  fs::create_directories(folder);
  qv::platform::Window window = qv::platform::Window::create_headless({});
  std::printf("%-7s %-10s %11s %11s %12s %12s %18s\n", "scale", "size", "compose ms", "render ms", "encode ms",
              "preview ms", "pamtopng (proc) ms");
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
    const std::vector<std::string> args = {"Launcher.exe", "--render-preview", (folder / "frame.png").string()};
    const double preview = best_ms(runs, [&] { (void)qv::render_frame_with(window, state, args); }) - render;
    std::string theirs = "not installed";
    if (pamtopng) {
      const fs::path pam = folder / "frame.pam";
      write_pam(pam, rgba, size);
      const std::string command = "pamtopng " + pam.string() + " > " + (folder / "theirs.png").string();
      theirs = std::to_string(best_ms(runs, [&] { (void)std::system(command.c_str()); }));
      theirs.resize(theirs.find('.') + 2);
    }
    std::printf("%-7.4g %4dx%-5d %11.2f %11.2f %12.1f %12.1f %18s\n", scale, size.width, size.height, compose, render,
                encode, preview, theirs.c_str());
  }
  fs::remove_all(folder);
  std::printf("\n(compose and render run on every 100 ms tick while the bar sweeps; preview is the extra cost of\n"
              " one frame under --render-watch: both images encoded and written, and the report)\n");
  return 0;
}
