#include "platform/message_box.hpp"

#include <gtest/gtest.h>
#include <X11/keysym.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <future>
#include <string>

#include "support/child_process.hpp"
#include "support/private_display.hpp"
#include "support/temp_dir.hpp"

namespace qv::platform {
namespace {

using namespace std::chrono_literals;
using test::TempDir;
using testing::XClient;
using testing::XGeometry;
using testing::Xvfb;

constexpr const char* kCaption = "QV Velmorane";
constexpr const char* kText = "load embedded Cinzel Decorative font\nCannot write .launcher/state/errors.txt: No space";

// Standard error of this process goes to a file until release().
class CapturedStandardError {
 public:
  explicit CapturedStandardError(std::filesystem::path file) : file_(std::move(file)) {
    saved_ = ::dup(STDERR_FILENO);
    const int fd = ::open(file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ::dup2(fd, STDERR_FILENO);
    ::close(fd);
  }
  ~CapturedStandardError() { release(); }
  std::string release() {
    if (saved_ >= 0) {
      ::dup2(saved_, STDERR_FILENO);
      ::close(saved_);
      saved_ = -1;
    }
    return test::read_file(file_);
  }

 private:
  std::filesystem::path file_;
  int saved_ = -1;
};

TEST(MessageBoxWithoutDisplay, WritesCaptionAndTextToStandardError) {
  ::unsetenv("DISPLAY");
  TempDir dir;
  CapturedStandardError captured(dir / "stderr.txt");
  EXPECT_EQ(show_message_box(kCaption, kText), MessageBoxResult::WrittenToStandardError);
  EXPECT_EQ(captured.release(), std::string(kCaption) + ": " + kText + "\n");
}

QV_CHILD_MODE(message_box_closed_stderr) {
  ::unsetenv("DISPLAY");
  ::close(STDERR_FILENO);
  return show_message_box(kCaption, kText) == MessageBoxResult::WrittenToStandardError ? 0 : 1;
}

QV_CHILD_MODE(message_box_reader_gone) {
  ::unsetenv("DISPLAY");
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return 2;
  ::close(fds[0]);
  ::dup2(fds[1], STDERR_FILENO);
  return show_message_box(kCaption, kText) == MessageBoxResult::WrittenToStandardError ? 0 : 1;
}

TEST(MessageBoxWithoutDisplay, AMissingOrDeadStandardErrorIsPassedOver) {
  for (const char* mode : {"message_box_closed_stderr", "message_box_reader_gone"}) {
    auto ended = test::run_self(mode);
    EXPECT_EQ(ended.signal, 0) << mode << " was killed";
    EXPECT_EQ(ended.exit_code, 0) << mode;
  }
}

class MessageBoxOnDisplay : public test::PrivateDisplayTest {
 protected:
  static void SetUpTestSuite() { start_display("1280x800x24"); }
  static void TearDownTestSuite() { stop_display(); }

  // Shows a box on another thread and waits until it is on the screen.
  std::future<MessageBoxResult> open(const std::string& caption, const std::string& text, std::uint64_t& window,
                                     XGeometry& geometry) {
    auto result = std::async(std::launch::async, [caption, text] { return show_message_box(caption, text); });
    auto found = client().find_titled(caption);
    EXPECT_TRUE(found) << caption;
    window = found.value_or(0);
    EXPECT_TRUE(client().wait_viewable(window));
    geometry = client().geometry(window).value_or(XGeometry{});
    return result;
  }
};

// The OK button is centred at the bottom of the box.
std::pair<int, int> ok_button(const XGeometry& g) { return {g.x + g.width / 2, g.y + g.height - 16 - 13}; }

TEST_F(MessageBoxOnDisplay, ShowsTheTextUntilDismissedByEveryWayOut) {
  struct Way {
    const char* name;
    std::function<void(XClient&, std::uint64_t, const XGeometry&)> dismiss;
  };
  const Way ways[] = {
      {"Enter", [](XClient& c, std::uint64_t, const XGeometry&) { c.key(XK_Return); }},
      {"keypad Enter", [](XClient& c, std::uint64_t, const XGeometry&) { c.key(XK_KP_Enter); }},
      {"Space", [](XClient& c, std::uint64_t, const XGeometry&) { c.key(XK_space); }},
      {"Escape", [](XClient& c, std::uint64_t, const XGeometry&) { c.key(XK_Escape); }},
      {"close request", [](XClient& c, std::uint64_t w, const XGeometry&) { c.request_close(w); }},
      {"OK", [](XClient& c, std::uint64_t, const XGeometry& g) {
         auto [x, y] = ok_button(g);
         c.pointer_to(x, y);
         c.click(1);
       }},
  };
  for (const Way& way : ways) {
    const std::string caption = std::string(kCaption) + " / " + way.name;
    std::uint64_t window = 0;
    XGeometry geometry;
    auto result = open(caption, kText, window, geometry);
    ASSERT_NE(window, 0u);
    EXPECT_EQ(client().atom_names(window, "_NET_WM_WINDOW_TYPE"),
              std::vector<std::string>{"_NET_WM_WINDOW_TYPE_DIALOG"});
    // Centred on the screen, with the text drawn in dark pixels on light.
    EXPECT_NEAR(geometry.x + geometry.width / 2, 640, 1);
    EXPECT_NEAR(geometry.y + geometry.height / 2, 400, 1);
    // The box draws when the server says it is visible, in its own time.
    std::size_t dark = 0;
    for (auto end = std::chrono::steady_clock::now() + 2s; dark <= 200 && std::chrono::steady_clock::now() < end;) {
      const auto pixels = client().pixels(window, geometry.width, geometry.height);
      dark = 0;
      for (std::size_t i = 0; i + 3 < pixels.size(); i += 4) dark += pixels[i] < 0x40 && pixels[i + 1] < 0x40;
    }
    EXPECT_GT(dark, 200u) << way.name << ": no text on the box";

    way.dismiss(client(), window, geometry);
    ASSERT_EQ(result.wait_for(5s), std::future_status::ready) << way.name << " did not dismiss the box";
    EXPECT_EQ(result.get(), MessageBoxResult::Dismissed) << way.name;
    EXPECT_FALSE(client().find_titled(caption, 0ms)) << way.name << ": the box is still there";
  }
}

TEST_F(MessageBoxOnDisplay, OnlyAClickThatBeginsAndEndsOnOkDismisses) {
  std::uint64_t window = 0;
  XGeometry geometry;
  auto result = open("QV Velmorane / clicks", kText, window, geometry);
  auto [x, y] = ok_button(geometry);
  client().pointer_to(geometry.x + 5, geometry.y + 5);
  client().click(1);
  client().pointer_to(x, y);
  client().button(1, true);
  client().pointer_to(x, geometry.y + 5);
  client().button(1, false);
  client().pointer_to(x, y);
  client().click(3);
  EXPECT_EQ(result.wait_for(300ms), std::future_status::timeout) << "a click beside OK dismissed the box";
  client().click(1);
  ASSERT_EQ(result.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(result.get(), MessageBoxResult::Dismissed);
}

TEST_F(MessageBoxOnDisplay, LongTextsWrapIntoABoxThatFitsTheScreen) {
  std::string text;
  for (int i = 0; i < 400; ++i) text += "word" + std::to_string(i) + " ";
  text += std::string(300, 'x');  // one word wider than the box
  std::uint64_t window = 0;
  XGeometry geometry;
  auto result = open("QV Velmorane / long", text, window, geometry);
  EXPECT_LE(geometry.width, 16 + 32 + 12 + 520 + 16);
  EXPECT_GT(geometry.height, 200) << "the text was not wrapped onto lines";
  EXPECT_LT(geometry.height, 800);
  client().key(XK_Return);
  ASSERT_EQ(result.wait_for(5s), std::future_status::ready);
}

TEST_F(MessageBoxOnDisplay, ADisplayLostBeforeTheUserSawTheTextLeavesItOnStandardError) {
  auto lost = std::make_unique<Xvfb>("640x480x24");
  ASSERT_TRUE(lost->display()) << lost->reason();
  ::setenv("DISPLAY", lost->display()->c_str(), 1);
  TempDir dir;
  CapturedStandardError captured(dir / "stderr.txt");
  std::future<MessageBoxResult> result;
  {
    XClient client(*lost->display());
    result = std::async(std::launch::async, [] { return show_message_box(kCaption, kText); });
    ASSERT_TRUE(client.find_titled(kCaption));
  }
  lost.reset();
  ASSERT_EQ(result.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(result.get(), MessageBoxResult::WrittenToStandardError);
  EXPECT_EQ(captured.release(), std::string(kCaption) + ": " + kText + "\n");
}

}  // namespace
}  // namespace qv::platform
