// The eight actions behind the window's targets (0 PATCH or PLAY, 1 CHECK,
// 2 STOP GAME, 3 REGISTER, 4 TOP UP, 5 DISCORD, 6 minimise, 7 close or
// cancel). Window thread.
#pragma once

#include <cstdint>
#include <string_view>

#include "desktop/window_context.hpp"

namespace qv {

inline constexpr std::string_view kCancellingStatus = "กำลังยกเลิกอย่างปลอดภัย; ไฟล์ทดสอบจะถูกเก็บไว้";
// Opening a link failed: the error's whole chain follows.
inline constexpr std::string_view kCannotOpenLink = "Cannot open link: {}";

// Runs the action of `target`; an index outside 0..7 does nothing. An action
// may destroy the window (PLAY, close).
void perform_action(WindowContext& context, std::int32_t target);

// "QV Velmorane — {status}{suffix}".
std::string titled(std::string_view status, std::string_view suffix = {});

}  // namespace qv
