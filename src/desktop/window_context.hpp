// What the window thread works with while the window lives: the window state,
// the window itself, and the facts of the command line that its reactions
// ask.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "desktop/app_state.hpp"
#include "platform/window.hpp"

namespace qv {

inline constexpr std::string_view kWindowTitle = "QV Velmorane";
inline constexpr std::string_view kHealthIdOption = "--health-id";

struct WindowContext {
  AppState& state;
  platform::Window& window;
  // The command line, argument 0 included: the deferred start-up reads the
  // health id from it.
  std::vector<std::string> args;
  // Started with a render option: the window shows a state no job drives, so
  // closing it never waits for one.
  bool preview = false;
  // The pointer shape last set, so that a move within a target or between two
  // places off the targets sends nothing.
  std::optional<platform::PointerShape> cursor;
};

}  // namespace qv
