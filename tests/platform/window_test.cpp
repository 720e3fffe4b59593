#include "platform/window.hpp"

#include <gtest/gtest.h>
#include <X11/keysym.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/message_loop.hpp"
#include "support/temp_dir.hpp"
#include "support/private_display.hpp"

namespace qv::platform {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Events = std::vector<WindowEvent>;
using testing::XClient;
using testing::Xvfb;

constexpr const char* kScreen = "1920x1080x24";
// What a compositing manager owns while it runs, on screen 0.
constexpr const char* kCompositorSelection = "_NET_WM_CM_S0";

WindowOptions options_at(std::int32_t x, std::int32_t y, std::int32_t width, std::int32_t height) {
  WindowOptions o;
  o.title = "QV Velmorane";
  o.class_name = "QVLauncherLayeredV1";
  o.x = x;
  o.y = y;
  o.width = width;
  o.height = height;
  return o;
}

std::vector<std::uint8_t> noise_frame(std::int32_t width, std::int32_t height, std::uint64_t seed) {
  const std::string bytes = test::noise_bytes(static_cast<std::size_t>(width) * height * 4, seed);
  return {bytes.begin(), bytes.end()};
}

// What the window reports until `done` holds or `timeout` passes.
Events pump(Window& window, const std::function<bool(const Events&)>& done, std::chrono::milliseconds timeout = 5s) {
  Events events;
  const auto end = Clock::now() + timeout;
  while (Clock::now() < end && window.is_open()) {
    bool more = false;
    if (auto e = window.next_event(more)) {
      events.push_back(*e);
      if (done(events)) break;
      continue;
    }
    if (more) continue;
    pollfd p{window.event_fd(), POLLIN, 0};
    ::poll(&p, 1, 10);
  }
  return events;
}

// Everything the window reports within `period`.
Events pump_for(Window& window, std::chrono::milliseconds period) {
  return pump(window, [](const Events&) { return false; }, period);
}

// What `read` gives once it gives `want`, or after two seconds: requests of
// the window's connection reach the server in their own time.
template <class Read, class Value>
auto settled(Read read, const Value& want) {
  const auto end = Clock::now() + 2s;
  auto value = read();
  while (!(value == want) && Clock::now() < end) {
    std::this_thread::sleep_for(10ms);
    value = read();
  }
  return value;
}

// _NET_WM_ICON as the 32-bit values they are (Xlib widens them with sign).
std::vector<std::uint32_t> icon_of(XClient& client, std::uint64_t window) {
  std::vector<std::uint32_t> out;
  for (long v : client.long_property(window, "_NET_WM_ICON")) out.push_back(static_cast<std::uint32_t>(v));
  return out;
}

template <class T>
std::vector<T> only(const Events& events) {
  std::vector<T> out;
  for (const auto& e : events) {
    if (const T* t = std::get_if<T>(&e)) out.push_back(*t);
  }
  return out;
}

template <class T>
auto has(std::size_t count = 1) {
  return [count](const Events& events) { return only<T>(events).size() >= count; };
}

// The pixels a frame shows where nothing blends its opacity.
std::vector<bool> half_opaque(const std::vector<std::uint8_t>& bgra) {
  std::vector<bool> out;
  for (std::size_t i = 3; i < bgra.size(); i += 4) out.push_back(bgra[i] >= 128);
  return out;
}

// One private X server for the suite, with room for every window here.
class WindowOnDisplay : public test::PrivateDisplayTest {
 protected:
  static void SetUpTestSuite() { start_display(kScreen); }
  static void TearDownTestSuite() { stop_display(); }

  // A shown window that has taken the keyboard focus (no window manager runs).
  Window shown(const WindowOptions& options) {
    auto window = Window::create(options);
    EXPECT_TRUE(window) << window.error().to_string();
    window->show();
    EXPECT_TRUE(client().wait_viewable(window->id()));
    pump_for(*window, 100ms);
    return std::move(*window);
  }
};

class PresentedFrames : public WindowOnDisplay, public ::testing::WithParamInterface<bool> {};

TEST_P(PresentedFrames, ReadBackByteForByteAtEverySize) {
  ASSERT_TRUE(client().has_argb_visual()) << "the test server offers no 32-bit visual";
  // A compositing manager runs: the window is never cut, so every pixel of a
  // frame can be read back.
  client().own_selection(kCompositorSelection);
  WindowOptions options = options_at(40, 30, 160, 100);
  options.shared_memory = GetParam();
  Window window = shown(options);
  ASSERT_TRUE(window.has_alpha());
  EXPECT_EQ(client().geometry(window.id())->depth, 32);

  // An odd size, and then a smaller one: the window takes each frame's size.
  for (auto [width, height, seed] : {std::tuple{173, 97, 1u}, std::tuple{64, 40, 2u}}) {
    const auto frame = noise_frame(width, height, seed);
    auto presented = window.present(frame, width, height);
    ASSERT_TRUE(presented) << presented.error().to_string();
    ASSERT_TRUE(client().wait_viewable(window.id(), width, height));
    EXPECT_EQ(client().pixels(window.id(), width, height), frame) << width << "x" << height;
    EXPECT_EQ(client().size_limits(window.id()), (std::array{width, height, width, height}));
  }
  EXPECT_EQ(window.uses_shared_memory(), GetParam());

  // Moved and resized (to a truncated size, say), the window takes the
  // frame's size again with the next frame, even one of the same size.
  window.move_resize(50, 60, 63, 39);
  ASSERT_TRUE(client().wait_viewable(window.id(), 63, 39));
  const auto same_size = noise_frame(64, 40, 9);
  ASSERT_TRUE(window.present(same_size, 64, 40));
  ASSERT_TRUE(client().wait_viewable(window.id(), 64, 40));
  EXPECT_EQ(window.position(), (std::pair{50, 60}));
  EXPECT_EQ(client().pixels(window.id(), 64, 40), same_size);

  // A refused frame leaves the last one on the screen.
  const auto last = client().pixels(window.id(), 64, 40);
  const auto short_frame = noise_frame(64, 39, 3);
  auto refused = window.present(short_frame, 64, 40);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().to_string(), "a frame of 64x40 pixels has 9984 bytes, not 10240");
  EXPECT_FALSE(window.present(std::span<const std::uint8_t>(), 0, 0));
  EXPECT_EQ(client().pixels(window.id(), 64, 40), last);

  window.destroy();
  auto closed = window.present(last, 64, 40);
  ASSERT_FALSE(closed);
  EXPECT_EQ(closed.error().to_string(), "the window is closed");
}

INSTANTIATE_TEST_SUITE_P(SharedMemoryOrProtocol, PresentedFrames, ::testing::Bool(),
                         [](const auto& param) { return param.param ? "SharedMemory" : "Protocol"; });

TEST_F(WindowOnDisplay, ServerWithoutArgbVisualGetsAnOpaqueWindowThatKeepsItsFrame) {
  Xvfb plain("640x480x24", {"-extension", "Composite"});
  ASSERT_TRUE(plain.display()) << plain.reason();
  ::setenv("DISPLAY", plain.display()->c_str(), 1);
  XClient client(*plain.display());
  ASSERT_FALSE(client.has_argb_visual());

  auto window = Window::create(options_at(10, 10, 33, 21));
  ASSERT_TRUE(window) << window.error().to_string();
  EXPECT_FALSE(window->has_alpha());
  window->show();
  // Opaque, so that the cut of a window without alpha keeps every pixel.
  auto frame = noise_frame(33, 21, 4);
  for (std::size_t i = 3; i < frame.size(); i += 4) frame[i] = 0xFF;
  ASSERT_TRUE(window->present(frame, 33, 21));
  ASSERT_TRUE(client.wait_viewable(window->id(), 33, 21));
  EXPECT_EQ(client.geometry(window->id())->depth, 24);
  // Without a compositor a covered window loses its pixels; the server puts
  // the frame back by itself, with no event handled here.
  client.destroy(client.take_focus(0, 0));
  auto seen = client.pixels(window->id(), 33, 21);
  ASSERT_EQ(seen.size(), frame.size());
  for (std::size_t i = 0; i < frame.size(); ++i) {
    if (i % 4 != 3) {
      ASSERT_EQ(seen[i], frame[i]) << "byte " << i;
    }
  }
}

TEST_F(WindowOnDisplay, PublishesTitleIconClassAndBorderlessFixedSize) {
  const std::string thai = "QV Velmorane — กำลังตรวจรายการอัปเดต...";
  WindowOptions options = options_at(210, 120, 96, 64);
  options.title = thai;
  auto created = Window::create(options);
  ASSERT_TRUE(created) << created.error().to_string();
  Window& window = *created;
  const std::uint64_t id = window.id();
  auto text = [&](const char* name) { return [this, id, name] { return client().text_property(id, name); }; };

  EXPECT_EQ(settled(text("_NET_WM_NAME"), std::optional<std::string>(thai)), thai);
  EXPECT_EQ(client().atom_names(id, "WM_PROTOCOLS"), (std::vector<std::string>{"WM_DELETE_WINDOW", "_NET_WM_PING"}));
  EXPECT_EQ(client().atom_names(id, "_NET_WM_WINDOW_TYPE"), std::vector<std::string>{"_NET_WM_WINDOW_TYPE_NORMAL"});
  EXPECT_EQ(client().long_property(id, "_MOTIF_WM_HINTS"), (std::vector<long>{2, 0, 0, 0, 0}));
  EXPECT_EQ(client().long_property(id, "_NET_WM_PID"), std::vector<long>{::getpid()});
  EXPECT_EQ(client().wm_class(id), "QVLauncherLayeredV1/QVLauncherLayeredV1");
  EXPECT_EQ(client().size_limits(id), (std::array{96, 64, 96, 64}));
  auto geometry = client().geometry(id);
  ASSERT_TRUE(geometry);
  EXPECT_EQ((std::array{geometry->x, geometry->y, geometry->width, geometry->height}), (std::array{210, 120, 96, 64}));
  EXPECT_EQ(window.position(), (std::pair{210, 120}));

  // WM_NAME for window managers that read nothing newer: a Latin-1 title as
  // STRING, any other whole, as UTF-8.
  EXPECT_EQ(settled([&] { return client().wm_name(id); }, std::optional<std::string>(thai)), thai);
  EXPECT_EQ(client().property_type(id, "WM_NAME"), "UTF8_STRING");
  window.set_title("QV Velmorane: café");
  EXPECT_EQ(settled([&] { return client().wm_name(id); }, std::optional<std::string>("QV Velmorane: café")),
            "QV Velmorane: café");
  EXPECT_EQ(client().property_type(id, "WM_NAME"), "STRING");
  EXPECT_EQ(client().text_property(id, "WM_NAME"), "QV Velmorane: caf\xe9");
  const std::string progress = "QV Velmorane — ดาวน์โหลดแพตช์ • data/world.pak • 25%";
  window.set_title(progress);
  EXPECT_EQ(settled([&] { return client().wm_name(id); }, std::optional<std::string>(progress)), progress);
  // A status that carries a file name's stray bytes still gives valid UTF-8.
  // Overlong forms and surrogates are no better; whole sequences stay.
  const std::string stray = "bad \xff\xc3 name \xc0\xaf \xed\xa0\x80 \xf0\x9f\x98\x80";
  window.set_title(stray);
  const std::string fffd = "\xef\xbf\xbd";
  const std::string replaced =
      "bad " + fffd + fffd + " name " + fffd + fffd + " " + fffd + fffd + fffd + " \xf0\x9f\x98\x80";
  EXPECT_EQ(settled(text("_NET_WM_NAME"), std::optional<std::string>(replaced)), replaced);
  EXPECT_EQ(window.title(), stray);

  // Icons: width, height, then one ARGB value per pixel, for each size.
  const std::vector<std::uint8_t> small = {0x10, 0x20, 0x30, 0xFF, 0xAA, 0xBB, 0xCC, 0x00};
  const std::vector<std::uint8_t> large(3 * 2 * 4, 0x7F);
  const IconImage icons[] = {{2, 1, small}, {3, 2, large}};
  ASSERT_TRUE(window.set_icon(icons));
  std::vector<std::uint32_t> expected = {2, 1, 0xFF102030, 0x00AABBCC, 3, 2};
  expected.insert(expected.end(), 6, 0x7F7F7F7F);
  EXPECT_EQ(settled([&] { return icon_of(client(), id); }, expected), expected);

  struct Refusal {
    IconImage icon;
    const char* error;
  };
  const std::vector<std::uint8_t> wide(1025 * 4, 0);
  for (const auto& [icon, error] : {
           Refusal{{2, 2, small}, "icon 0 of 2x2 pixels has 8 bytes, not 16"},
           Refusal{{0, 2, {}}, "icon 0 of 0x2 pixels is outside 1 to 1024 pixels a side"},
           Refusal{{1025, 1, wide}, "icon 0 of 1025x1 pixels is outside 1 to 1024 pixels a side"},
       }) {
    auto refused = window.set_icon(std::span(&icon, 1));
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().to_string(), error);
  }
  window.set_title("after the refusals");
  settled(text("_NET_WM_NAME"), std::optional<std::string>("after the refusals"));
  EXPECT_EQ(icon_of(client(), id), expected);
}

// A frame whose opacity rises from 0 at the left edge to 252 at the right,
// with a transparent hole (across row 128, where two bands of a read-back
// meet) and a pixel just below half opacity among opaque ones; `flip`
// mirrors it.
std::vector<std::uint8_t> graded_frame(int width, int height, bool flip) {
  std::vector<std::uint8_t> frame(static_cast<std::size_t>(width) * height * 4, 0);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const int column = flip ? width - 1 - x : x;
      std::uint8_t alpha = static_cast<std::uint8_t>(std::min(252, column * 4));
      if (x >= 40 && x < 50 && y >= 120 && y < 140) alpha = 0;
      if (x == 60 && y == 3) alpha = 127;
      std::uint8_t* p = frame.data() + (static_cast<std::size_t>(y) * width + x) * 4;
      p[0] = p[1] = p[2] = static_cast<std::uint8_t>(alpha / 2);
      p[3] = alpha;
    }
  }
  return frame;
}

TEST_F(WindowOnDisplay, WithoutACompositorTheWindowIsCutToItsVisiblePixels) {
  // Taller than the bands in which a window reads its frame back.
  constexpr int kWidth = 64;
  constexpr int kHeight = 300;
  Window window = shown(options_at(20, 20, kWidth, kHeight));
  const auto shape = [&] { return client().bounding_pixels(window.id(), kWidth, kHeight); };
  // Events of the window are read while waiting: that is how it learns of a
  // compositing manager.
  const auto until = [&](const std::function<bool()>& done) {
    const auto end = Clock::now() + 3s;
    while (!done() && Clock::now() < end) pump_for(window, 20ms);
    return done();
  };

  const auto first = graded_frame(kWidth, kHeight, false);
  ASSERT_TRUE(window.present(first, kWidth, kHeight));
  EXPECT_TRUE(client().bounding_shaped(window.id()));
  EXPECT_EQ(shape(), half_opaque(first));

  // A compositing manager starts: the window is whole again, and a frame
  // presented meanwhile does not cut it.
  client().own_selection(kCompositorSelection);
  EXPECT_TRUE(until([&] { return !client().bounding_shaped(window.id()); }));
  const auto second = graded_frame(kWidth, kHeight, true);
  ASSERT_TRUE(window.present(second, kWidth, kHeight));
  pump_for(window, 100ms);
  EXPECT_FALSE(client().bounding_shaped(window.id()));

  // It gives the selection up: the window is cut to the frame it shows now
  // (which it reads back from the server).
  client().release_selection(kCompositorSelection);
  EXPECT_TRUE(until([&] { return shape() == half_opaque(second); }));

  // One whose connection ends while it runs.
  {
    XClient other(display_name());
    other.own_selection(kCompositorSelection);
    EXPECT_TRUE(until([&] { return !client().bounding_shaped(window.id()); }));
  }
  EXPECT_TRUE(until([&] { return shape() == half_opaque(second); }));
}

TEST_F(WindowOnDisplay, RefusesSizesTheServerCannotShow) {
  for (auto [width, height] : {std::pair{0, 10}, std::pair{10, -1}, std::pair{16385, 10}}) {
    auto window = Window::create(options_at(0, 0, width, height));
    ASSERT_FALSE(window);
    EXPECT_EQ(window.error().to_string(),
              "window size " + std::to_string(width) + "x" + std::to_string(height) + " is outside 1 to 16384 pixels");
  }
}

TEST_F(WindowOnDisplay, PointerAndButtonsArriveInWindowPixels) {
  Window window = shown(options_at(100, 80, 300, 200));
  client().pointer_to(150, 130);
  client().pointer_to(160, 135);
  auto events = pump(window, [](const Events& e) {
    auto moves = only<PointerMoved>(e);
    return !moves.empty() && moves.back() == PointerMoved{60, 55};
  });
  ASSERT_FALSE(only<PointerMoved>(events).empty());
  EXPECT_EQ(only<PointerMoved>(events).back(), (PointerMoved{60, 55}));

  client().click(1);
  client().click(3);
  events = pump(window, has<ButtonReleased>(2));
  EXPECT_EQ(only<ButtonPressed>(events),
            (std::vector<ButtonPressed>{{MouseButton::Left, 60, 55}, {MouseButton::Right, 60, 55}}));
  EXPECT_EQ(only<ButtonReleased>(events),
            (std::vector<ButtonReleased>{{MouseButton::Left, 60, 55}, {MouseButton::Right, 60, 55}}));

  client().pointer_to(20, 20);
  events = pump(window, has<PointerLeft>());
  EXPECT_EQ(only<PointerLeft>(events).size(), 1u);
}

TEST_F(WindowOnDisplay, KeysFocusAndCloseRequestsArrive) {
  Window window = shown(options_at(100, 80, 300, 200));
  // No window manager runs: the window took the focus itself when shown.
  struct Case {
    unsigned long keysym;
    bool shift;
    KeyPressed expected;
  };
  for (const auto& [keysym, shift, expected] : {
           Case{XK_Tab, false, {Key::Tab, false}},
           Case{XK_Tab, true, {Key::Tab, true}},
           Case{XK_Return, false, {Key::Enter, false}},
           Case{XK_KP_Enter, false, {Key::Enter, false}},
           Case{XK_space, false, {Key::Space, false}},
           Case{XK_Escape, false, {Key::Escape, false}},
           Case{XK_a, false, {Key::Other, false}},
       }) {
    client().key(keysym, shift);
    auto keys = only<KeyPressed>(pump(window, [&](const Events& e) {
      auto k = only<KeyPressed>(e);
      return !k.empty() && k.back().key == expected.key;
    }));
    // Shift itself comes first as a key of its own.
    ASSERT_FALSE(keys.empty()) << keysym;
    EXPECT_EQ(keys.back(), expected) << keysym;
  }

  client().take_focus(1000, 800);
  EXPECT_EQ(only<FocusLost>(pump(window, has<FocusLost>())).size(), 1u);

  client().request_close(window.id());
  EXPECT_EQ(only<CloseRequested>(pump(window, has<CloseRequested>())).size(), 1u);
  EXPECT_TRUE(window.is_open()) << "a close request only asks";
}

TEST_F(WindowOnDisplay, ScaleChangesAreReportedOncePerNewValue) {
  Window window = shown(options_at(0, 0, 50, 50));
  client().set_root_text("RESOURCE_MANAGER", "Xft.dpi:\t144\n");
  EXPECT_EQ(only<ScaleChanged>(pump(window, has<ScaleChanged>())), (std::vector<ScaleChanged>{{144.0}}));
  EXPECT_DOUBLE_EQ(window.display_info().scale(), 1.5);

  // Other resources change, the scale does not.
  client().set_root_text("RESOURCE_MANAGER", "Xft.dpi:\t144\nXcursor.size:\t24\n");
  EXPECT_TRUE(only<ScaleChanged>(pump_for(window, 300ms)).empty());

  client().delete_root_property("RESOURCE_MANAGER");
  EXPECT_EQ(only<ScaleChanged>(pump(window, has<ScaleChanged>())), (std::vector<ScaleChanged>{{96.0}}));
}

// Presses the left button at (x, y) on the root and arms a caption drag
// with it, as the window's owner does for a press off its targets.
void press_caption(XClient& client, Window& window, int x, int y) {
  client.pointer_to(x, y);
  client.button(1, true);
  ASSERT_EQ(only<ButtonPressed>(pump(window, has<ButtonPressed>())).size(), 1u);
  window.begin_caption_drag();
}

// A click on the window (at (x, y) on the root) reaches its owner.
void expect_click_arrives(XClient& client, Window& window, int x, int y, ButtonReleased expected) {
  client.pointer_to(x, y);
  client.click(1);
  EXPECT_EQ(only<ButtonReleased>(pump(window, has<ButtonReleased>())), std::vector<ButtonReleased>{expected});
}

TEST_F(WindowOnDisplay, CaptionDragMovesTheWindowItselfWithoutWindowManager) {
  Window window = shown(options_at(100, 100, 200, 120));
  // A click, and a press that wanders less than the threshold, move nothing
  // and report neither a release nor the motion; the next click is a click.
  press_caption(client(), window, 150, 120);
  client().button(1, false);
  EXPECT_TRUE(only<ButtonReleased>(pump_for(window, 200ms)).empty());
  press_caption(client(), window, 150, 120);
  client().pointer_to(150 + kCaptionDragThreshold - 1, 120 - (kCaptionDragThreshold - 1));
  auto held = pump_for(window, 200ms);
  EXPECT_TRUE(only<PointerMoved>(held).empty());
  client().button(1, false);
  EXPECT_TRUE(only<ButtonReleased>(pump_for(window, 200ms)).empty());
  EXPECT_EQ(window.position(), (std::pair{100, 100}));

  // Moved with the button held, the window follows, the pressed point under
  // the pointer.
  press_caption(client(), window, 150, 120);
  for (int step = 1; step <= 5; ++step) client().pointer_to(150 + 20 * step, 120 + 10 * step);
  pump_for(window, 200ms);
  EXPECT_EQ(window.position(), (std::pair{200, 150}));
  EXPECT_EQ(client().geometry(window.id())->x, 200);

  // The press that dragged has no release; the next click is a click again.
  client().button(1, false);
  EXPECT_TRUE(only<ButtonReleased>(pump_for(window, 200ms)).empty());
  expect_click_arrives(client(), window, 260, 200, {MouseButton::Left, 60, 50});
  EXPECT_EQ(window.position(), (std::pair{200, 150}));
}

TEST_F(WindowOnDisplay, WindowManagerIsAskedToMoveAndMinimiseAndGetsPingAnswers) {
  client().act_as_window_manager({"_NET_WM_MOVERESIZE", "_NET_WM_PING"});
  Window window = shown(options_at(300, 200, 200, 120));
  // A plain click on the caption asks nothing of the window manager.
  press_caption(client(), window, 350, 230);
  client().button(1, false);
  pump_for(window, 200ms);
  EXPECT_FALSE(client().next_root_message(200ms));

  // The move is asked for once the pointer has gone the threshold with the
  // button held: from the pressed point, with the button that is down.
  press_caption(client(), window, 350, 230);
  client().pointer_to(350 + kCaptionDragThreshold, 231);
  pump_for(window, 200ms);
  auto move = client().next_root_message();
  ASSERT_TRUE(move);
  EXPECT_EQ(move->window, window.id());
  EXPECT_EQ(move->type, "_NET_WM_MOVERESIZE");
  EXPECT_EQ(move->data, (std::array<long, 5>{350, 230, 8, 1, 1}));
  // This window manager moves nothing and leaves the release to the window:
  // the move's own release is dropped, and the next click is a click.
  client().button(1, false);
  EXPECT_TRUE(only<ButtonReleased>(pump_for(window, 200ms)).empty());
  expect_click_arrives(client(), window, 360, 240, {MouseButton::Left, 60, 40});

  window.minimise();
  auto iconify = client().next_root_message();
  ASSERT_TRUE(iconify);
  EXPECT_EQ(iconify->type, "WM_CHANGE_STATE");
  EXPECT_EQ(iconify->data[0], 3) << "IconicState";

  client().send_ping(window.id(), 4242);
  pump_for(window, 100ms);
  auto pong = client().next_root_message();
  ASSERT_TRUE(pong);
  EXPECT_EQ(pong->type, "WM_PROTOCOLS");
  EXPECT_EQ(pong->window, client().root());
  EXPECT_EQ(pong->data[1], 4242);
  EXPECT_EQ(static_cast<std::uint64_t>(pong->data[2]), window.id());
  client().delete_root_property("_NET_SUPPORTING_WM_CHECK");
}

TEST_F(WindowOnDisplay, TicksKeepTheirRhythmUnderAFloodOfEvents) {
  Window window = shown(options_at(0, 0, 40, 40));
  std::atomic<bool> stop = false;
  std::atomic<long> sent = 0;
  std::thread flood([&] {
    XClient other(display_name());
    while (!stop) {
      for (int i = 0; i < 200; ++i) other.send_key_event(window.id(), XK_a);
      other.sync();
      sent += 200;
    }
  });
  std::vector<Clock::time_point> ticks;
  long keys = 0;
  const auto start = Clock::now();
  auto ended = run_message_loop(window, [&](const WindowEvent& e) {
    if (std::holds_alternative<KeyPressed>(e)) ++keys;
    if (std::holds_alternative<Tick>(e)) {
      ticks.push_back(Clock::now());
      if (ticks.size() == 15) window.destroy();
    }
  });
  stop = true;
  flood.join();
  ASSERT_TRUE(ended) << ended.error().to_string();
  ASSERT_EQ(ticks.size(), 15u);
  for (std::size_t i = 0; i < ticks.size(); ++i) {
    const auto due = start + (i + 1) * kTimerPeriod;
    EXPECT_GE(ticks[i], due) << "tick " << i << " came early";
    EXPECT_LT(ticks[i] - due, 80ms) << "tick " << i << " came late";
  }
  EXPECT_GT(keys, 1000) << "the flood did not reach the window (" << sent << " sent)";
}

TEST_F(WindowOnDisplay, ABusyHandlerGetsOneLateTickAndThenTheRhythm) {
  Window window = shown(options_at(0, 0, 40, 40));
  std::vector<Clock::duration> ticks;
  const auto start = Clock::now();
  ASSERT_TRUE(run_message_loop(window, [&](const WindowEvent& e) {
    if (!std::holds_alternative<Tick>(e)) return;
    ticks.push_back(Clock::now() - start);
    if (ticks.size() == 2) std::this_thread::sleep_for(350ms);
    if (ticks.size() == 4) window.destroy();
  }));
  ASSERT_EQ(ticks.size(), 4u);
  EXPECT_GE(ticks[2], 550ms);
  EXPECT_LT(ticks[2], 600ms) << "the late tick waited for a period";
  EXPECT_GE(ticks[3] - ticks[2], 95ms);
  EXPECT_LT(ticks[3] - ticks[2], 160ms);
}

TEST_F(WindowOnDisplay, LoopEndsWhenTheWindowIsDestroyedByAnyone) {
  Window by_handler = shown(options_at(0, 0, 40, 40));
  ASSERT_TRUE(run_message_loop(by_handler, [&](const WindowEvent&) { by_handler.destroy(); }));
  EXPECT_FALSE(by_handler.is_open());

  Window by_other = shown(options_at(0, 0, 40, 40));
  int ticks = 0;
  ASSERT_TRUE(run_message_loop(by_other, [&](const WindowEvent& e) {
    if (std::holds_alternative<Tick>(e) && ++ticks == 2) client().destroy(by_other.id());
    if (ticks > 20) by_other.destroy();
  }));
  EXPECT_EQ(ticks, 2) << "the loop went on after another client destroyed the window";
  EXPECT_FALSE(by_other.is_open());
  EXPECT_FALSE(by_other.present(noise_frame(4, 4, 5), 4, 4));
}

TEST_F(WindowOnDisplay, LostDisplayEndsTheLoopWithAnError) {
  auto lost = std::make_unique<Xvfb>("320x240x24");
  ASSERT_TRUE(lost->display()) << lost->reason();
  ::setenv("DISPLAY", lost->display()->c_str(), 1);
  auto window = Window::create(options_at(0, 0, 40, 40));
  ASSERT_TRUE(window) << window.error().to_string();
  window->show();
  int ticks = 0;
  auto ended = run_message_loop(*window, [&](const WindowEvent& e) {
    if (std::holds_alternative<Tick>(e) && ++ticks == 2) lost.reset();
    if (ticks > 20) window->destroy();
  });
  ASSERT_FALSE(ended);
  EXPECT_EQ(ended.error().to_string(), kDisplayConnectionLost);
  EXPECT_LT(ticks, 5);
  EXPECT_FALSE(window->is_open());
  EXPECT_FALSE(window->present(noise_frame(4, 4, 6), 4, 4));
  // What a lost connection leaves behind is safe to release.
}

TEST(HeadlessWindow, ThePreviewPathNeedsNoDisplay) {
  ::unsetenv("DISPLAY");
  auto real = Window::create(options_at(0, 0, 960, 640));
  ASSERT_FALSE(real);
  EXPECT_EQ(real.error().to_string(), "no X display (DISPLAY is not set)");
  ::setenv("DISPLAY", ":65000", 1);
  real = Window::create(options_at(0, 0, 960, 640));
  ASSERT_FALSE(real);
  EXPECT_EQ(real.error().to_string(), "cannot open the X display \":65000\"");
  ::unsetenv("DISPLAY");

  const DisplayInfo info = query_display();
  EXPECT_FALSE(info.connected);
  EXPECT_EQ(info.dpi, 96.0);
  EXPECT_TRUE(info.monitors.empty());

  Window window = Window::create_headless(options_at(0, 0, 960, 640));
  EXPECT_TRUE(window.is_headless());
  EXPECT_EQ(window.id(), 0u);
  EXPECT_TRUE(window.present(noise_frame(960, 640, 7), 960, 640));
  EXPECT_FALSE(window.present(noise_frame(960, 639, 7), 960, 640)) << "a headless window checks frames too";
  window.set_title("QV Velmorane — ตรวจสอบไฟล์");
  EXPECT_EQ(window.title(), "QV Velmorane — ตรวจสอบไฟล์");
  EXPECT_TRUE(window.set_icon({}));
  window.set_cursor(PointerShape::Hand);
  window.minimise();
  window.begin_caption_drag();
  EXPECT_FALSE(window.position());
  EXPECT_FALSE(window.display_info().connected);

  int ticks = 0;
  const auto start = Clock::now();
  ASSERT_TRUE(run_message_loop(window, [&](const WindowEvent& e) {
    ASSERT_TRUE(std::holds_alternative<Tick>(e));
    if (++ticks == 3) window.destroy();
  }));
  EXPECT_EQ(ticks, 3);
  EXPECT_GE(Clock::now() - start, 300ms);
  EXPECT_FALSE(window.present(noise_frame(960, 640, 7), 960, 640));
}

}  // namespace
}  // namespace qv::platform
