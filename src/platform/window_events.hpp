// What the launcher's window reports to the window thread. Pointer positions
// are window pixels from the top-left corner (not the design space; the
// caller divides by its scale).
#pragma once

#include <cstdint>
#include <variant>

namespace qv::platform {

// The loop's timer: once per period, whatever else arrives.
struct Tick {
  bool operator==(const Tick&) const = default;
};

// The user asked to close the window (the title bar's close button, a task
// bar menu, Alt+F4 through the window manager). The window stays open until
// its owner destroys it.
struct CloseRequested {
  bool operator==(const CloseRequested&) const = default;
};

enum class Key {
  Tab,     // Tab, and Shift+Tab (`shift` set)
  Enter,   // the main Enter key and the keypad's
  Space,
  Escape,
  Other,
};

struct KeyPressed {
  Key key = Key::Other;
  bool shift = false;
  bool operator==(const KeyPressed&) const = default;
};

// The window lost the keyboard focus.
struct FocusLost {
  bool operator==(const FocusLost&) const = default;
};

// The pointer moved over the window (or, while a button is held, anywhere).
struct PointerMoved {
  std::int32_t x = 0;
  std::int32_t y = 0;
  bool operator==(const PointerMoved&) const = default;
};

// The pointer left the window.
struct PointerLeft {
  bool operator==(const PointerLeft&) const = default;
};

enum class MouseButton { Left, Middle, Right, Other };

struct ButtonPressed {
  MouseButton button = MouseButton::Other;
  std::int32_t x = 0;
  std::int32_t y = 0;
  bool operator==(const ButtonPressed&) const = default;
};

// A button was released. A press that armed a caption drag has no release,
// whether it moved the window or not.
struct ButtonReleased {
  MouseButton button = MouseButton::Other;
  std::int32_t x = 0;
  std::int32_t y = 0;
  bool operator==(const ButtonReleased&) const = default;
};

// The user changed the display's dots per inch while the window lives.
struct ScaleChanged {
  double dpi = 96.0;
  bool operator==(const ScaleChanged&) const = default;
};

using WindowEvent =
    std::variant<Tick, CloseRequested, KeyPressed, FocusLost, PointerMoved, PointerLeft, ButtonPressed, ButtonReleased,
                 ScaleChanged>;

}  // namespace qv::platform
