#include "desktop/app_state.hpp"

#include "desktop/design_space.hpp"
#include "desktop/theme.hpp"

namespace qv {

AppState::AppState(LoadedFont label_font, std::vector<std::uint8_t> skin_pixels)
    : AppState(make_worker_channel(), std::move(label_font), std::move(skin_pixels)) {}

AppState::AppState(std::pair<WorkerSender, WorkerReceiver> channel, LoadedFont label_font,
                   std::vector<std::uint8_t> skin_pixels)
    : receiver(std::move(channel.second)),
      sender(std::move(channel.first)),
      stage_started(std::chrono::steady_clock::now()),
      skin(std::move(skin_pixels)),
      font(std::move(label_font)) {}

void AppState::set_scale(double new_scale) {
  scale = new_scale;
  const FrameSize size = frame_size(scale);
  background = scale_skin(skin, size.width, size.height);
}

std::string_view stage_label(Stage stage) {
  switch (stage) {
    case Stage::Manifest: return "โหลดรายการไฟล์";
    case Stage::Check: return "ตรวจไฟล์ที่ต้องอัปเดต";
    case Stage::Download: return "ดาวน์โหลดแพตช์";
    case Stage::Validate: return "ตรวจสอบไฟล์แพตช์";
    case Stage::CloseGame: return "ปิดเกมก่อนติดตั้ง";
    case Stage::Apply: return "แตกไฟล์และติดตั้งแพตช์";
    case Stage::Done: return "เสร็จสมบูรณ์";
  }
  return {};
}

}  // namespace qv
