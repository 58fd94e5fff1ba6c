#include "input/x11/xtest_event_sink.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>

#include "input/input_events.h"
#include "input/input_injector.h"
#include "input/x11_test_client.h"

namespace quorin {
namespace {

using Kind = InputEvent::Kind;
using Type = ReceivedEvent::Type;

class XTestEventSinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!display_.connected()) {
      const char* ci = std::getenv("CI");
      if (ci && std::string(ci) == "true") FAIL() << "no X display reachable (DISPLAY unset?)";
      GTEST_SKIP() << "no X display reachable; run under Xvfb (scripts/test)";
    }
    screen_ = display_.sharedScreen();
    client_ = std::make_unique<X11TestClient>(screen_);
    ASSERT_TRUE(client_->ready());
    auto sink = x11::openXTestEventSink();
    ASSERT_TRUE(sink) << "the display has no XTest extension";
    injector_ = std::make_unique<InputInjector>(std::move(sink));
  }

  // Everything received once `done` holds (or a timeout passed).
  std::vector<ReceivedEvent> until(const std::function<bool(const std::vector<ReceivedEvent>&)>& done) {
    client_->waitFor(done, std::chrono::seconds(20));
    return client_->take();
  }
  std::string typed(const std::string& text, std::optional<std::vector<std::string>> modifiers = {}) {
    injector_->handle(inputEvent(Kind::keyText, text, std::move(modifiers)));
    return X11TestClient::typedText(
        until([&](const auto& got) { return X11TestClient::typedText(got) == text; }));
  }

  X11TestDisplay display_;
  ScreenRect screen_;
  std::unique_ptr<X11TestClient> client_;
  std::unique_ptr<InputInjector> injector_;
};

TEST_F(XTestEventSinkTest, PointerButtonsAndWheelReachTheWindowAtTheMappedPoint) {
  InputEvent move = inputEvent(Kind::mouseMove);
  move.x = 0.25;
  move.y = 0.75;
  injector_->handle(move);
  const int x = screen_.x + static_cast<int>(std::lround(0.25 * screen_.width));
  const int y = screen_.y + static_cast<int>(std::lround(0.75 * screen_.height));
  until([&](const auto& got) { return !got.empty() && got.back().rootX == x; });
  EXPECT_EQ(display_.pointer(), std::make_pair(x, y));

  for (const Kind kind : {Kind::leftClick, Kind::rightClick, Kind::doubleClick}) {
    injector_->handle(inputEvent(kind));
  }
  for (const auto& [dx, dy] : {std::pair{0.0, 50.0}, {0.0, -50.0}, {50.0, 0.0}, {-50.0, 0.0}}) {
    InputEvent scroll = inputEvent(Kind::scroll);
    scroll.dx = dx;
    scroll.dy = dy;
    injector_->handle(scroll);
  }
  std::vector<std::pair<Type, unsigned>> buttons;
  for (const ReceivedEvent& e : until([](const auto& got) {
         return std::count_if(got.begin(), got.end(), [](const auto& e) { return e.type != Type::motion; }) >= 16;
       })) {
    if (e.type == Type::motion) continue;
    buttons.emplace_back(e.type, e.detail);
    EXPECT_EQ(std::make_pair(e.rootX, e.rootY), std::make_pair(x, y));
  }
  const auto press = Type::buttonPress;
  const auto release = Type::buttonRelease;
  EXPECT_EQ(buttons, (std::vector<std::pair<Type, unsigned>>{
                         {press, 1}, {release, 1}, {press, 3}, {release, 3},
                         {press, 1}, {release, 1}, {press, 1}, {release, 1},
                         {press, 4}, {release, 4}, {press, 5}, {release, 5},
                         {press, 6}, {release, 6}, {press, 7}, {release, 7}}));
}

TEST_F(XTestEventSinkTest, TextArrivesExactlyWhateverTheKeymapAndLeavesItAsFound) {
  const auto before = display_.keymap();
  const std::string mixed = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xE4\xB8\xAD";  // aé€😀中
  EXPECT_EQ(typed(mixed), mixed);
  // Shifted keys, and missing capitals that must not come out in lower case (ÉÅЖ).
  EXPECT_EQ(typed("Hi, #1! \xC3\x89\xC3\x85\xD0\x96"), "Hi, #1! \xC3\x89\xC3\x85\xD0\x96");
  // More missing characters than spare keycodes, each used twice.
  std::string cjk;
  for (char32_t c = 0x4E00; c < 0x4E00 + 60; ++c) {
    cjk += {static_cast<char>(0xE0 | (c >> 12)), static_cast<char>(0x80 | ((c >> 6) & 0x3F)),
            static_cast<char>(0x80 | (c & 0x3F))};
  }
  EXPECT_EQ(typed(cjk + "x" + cjk), cjk + "x" + cjk);
  EXPECT_EQ(display_.keymap(), before);
}

TEST_F(XTestEventSinkTest, ModifiersAreHeldAroundTheKeysOnly) {
  const unsigned super = display_.modifierMask(0xffeb);  // Super_L
  const unsigned shift = display_.modifierMask(0xffe1);  // Shift_L
  ASSERT_NE(super, 0u);
  injector_->handle(inputEvent(Kind::keySpecial, "return", std::vector<std::string>{"CMD"}));
  // Letters that need Shift themselves do not let go of the Shift the event holds.
  injector_->handle(inputEvent(Kind::keyText, "Ab", std::vector<std::string>{"shift"}));
  injector_->handle(inputEvent(Kind::keyText, "c"));
  std::vector<std::pair<unsigned long, unsigned>> presses;  // keysym, state
  for (const ReceivedEvent& e : until([](const auto& got) { return X11TestClient::typedText(got) == "ABc"; })) {
    if (e.type == Type::keyPress && (e.keysym == 0xff0d || !e.text.empty())) {
      presses.emplace_back(e.keysym, e.state);
    }
  }
  EXPECT_EQ(presses, (std::vector<std::pair<unsigned long, unsigned>>{
                         {0xff0d, super}, {'A', shift}, {'B', shift}, {'c', 0}}));
}

TEST(XTestEventSinkOpen, UnreachableDisplayGivesNoSinkAndTheInjectorPostsNothing) {
  auto sink = x11::openXTestEventSink("/nonexistent/quorin-test-display:0");
  EXPECT_EQ(sink, nullptr);
  InputInjector(std::move(sink)).handle(inputEvent(Kind::keyText, "still fine"));
}

}  // namespace
}  // namespace quorin
