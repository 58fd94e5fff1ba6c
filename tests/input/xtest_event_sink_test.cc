#include "input/x11/xtest_event_sink.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "fakes/require_service.h"
#include "input/input_events.h"
#include "input/input_injector.h"
#include "input/x11_test_client.h"

namespace quorin {
namespace {

using Kind = InputEvent::Kind;
using Type = ReceivedEvent::Type;
using Names = std::optional<std::vector<std::string>>;
using Received = std::vector<ReceivedEvent>;

class XTestEventSinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QUORIN_REQUIRE(display_.connected(), "no X display reachable; run under Xvfb (scripts/test)");
    ASSERT_TRUE(client_.ready());
    auto sink = x11::openXTestEventSink();
    ASSERT_TRUE(sink) << "the display has no XTest extension";
    injector_ = std::make_unique<InputInjector>(std::move(sink));
  }

  // Everything received once `done` holds (or a timeout passed).
  Received until(const std::function<bool(const Received&)>& done) {
    EXPECT_TRUE(client_.waitFor(done, std::chrono::seconds(20)));
    return client_.take();
  }
  std::string typed(const std::string& text) {
    injector_->handle(inputEvent(Kind::keyText, text));
    return X11TestClient::typedText(until([&](const auto& got) { return X11TestClient::typedText(got) == text; }));
  }

  X11TestDisplay display_;
  ScreenRect screen_ = display_.sharedScreen();
  X11TestClient client_{screen_};
  std::unique_ptr<InputInjector> injector_;
};

TEST_F(XTestEventSinkTest, PointerButtonsAndWheelReachTheWindowAtTheMappedPoint) {
  InputEvent move = inputEvent(Kind::mouseMove);
  move.x = 0.25;
  move.y = 0.75;
  injector_->handle(move);
  const std::pair<int, int> at{screen_.x + screen_.width / 4, screen_.y + screen_.height * 3 / 4};
  for (const Kind kind : {Kind::leftClick, Kind::rightClick, Kind::doubleClick}) injector_->handle(inputEvent(kind));
  InputEvent scroll = inputEvent(Kind::scroll);
  scroll.dx = -50;
  scroll.dy = 50;
  injector_->handle(scroll);
  std::vector<std::pair<Type, unsigned>> buttons;
  const auto buttonEvents = [](const Received& got) {
    return std::count_if(got.begin(), got.end(), [](const auto& e) { return e.type != Type::motion; });
  };
  for (const ReceivedEvent& e : until([&](const auto& got) { return buttonEvents(got) >= 12; })) {
    if (e.type == Type::motion) continue;
    buttons.emplace_back(e.type, e.detail);
    EXPECT_EQ(std::make_pair(e.rootX, e.rootY), at);
  }
  decltype(buttons) clicks;  // left, right, double left, wheel up, wheel right
  for (const unsigned b : {1, 3, 1, 1, 4, 7}) clicks.insert(clicks.end(), {{Type::buttonPress, b}, {Type::buttonRelease, b}});
  EXPECT_EQ(buttons, clicks);
}

TEST_F(XTestEventSinkTest, TextArrivesExactlyWhateverTheKeymapLayoutAndCapsLockAndLeavesThemAsFound) {
  ASSERT_EQ(std::system("setxkbmap -layout us,ru"), 0);
  display_.lockKeyboard(1, true);  // the Russian layout, Caps Lock on
  const auto before = display_.keymap();
  // Shifted keys, and characters missing from the keymap, capitals among them (ÉÅЖ€😀中).
  // More missing characters than spare keycodes follow, each used twice.
  const std::string text = "Hi, #1! \xC3\x89\xC3\x85\xD0\x96\xE2\x82\xAC\xF0\x9F\x98\x80\xE4\xB8\xAD" +
                           ideographs(60) + ideographs(60);
  const std::string got = typed(text);
  const auto state = display_.keyboardLock();
  const bool keymapKept = display_.keymap() == before;
  display_.lockKeyboard(0, false);
  std::system("setxkbmap -layout us");
  EXPECT_EQ(got, text);
  EXPECT_EQ(state, std::make_pair(1, true));
  EXPECT_TRUE(keymapKept);
}

TEST_F(XTestEventSinkTest, CommandIsControlAndModifiersGoDownAroundEachKey) {
  injector_->handle(inputEvent(Kind::keySpecial, "return", Names{{"CMD"}}));
  // Letters that need Shift themselves do not let go of the Shift the event holds.
  injector_->handle(inputEvent(Kind::keyText, "Ab", Names{{"shift"}}));
  injector_->handle(inputEvent(Kind::keyText, "c"));
  std::vector<std::pair<unsigned long, unsigned>> presses;  // keysym, state
  for (const ReceivedEvent& e : until([](const auto& got) { return X11TestClient::typedText(got) == "ABc"; })) {
    if (e.type == Type::keyPress) presses.emplace_back(e.keysym, e.state);
  }
  const unsigned long control = 0xffe3, shift = 0xffe1;  // Control_L, Shift_L
  const unsigned kControlMask = 4, kShiftMask = 1;           // in the core protocol
  EXPECT_EQ(presses, (std::vector<std::pair<unsigned long, unsigned>>{
                         {control, 0}, {0xff0d, kControlMask}, {shift, 0}, {'A', kShiftMask},
                         {shift, 0}, {'B', kShiftMask}, {'c', 0}}));
}

TEST(XTestEventSinkOpen, UnreachableDisplayGivesNoSinkAndTheInjectorPostsNothing) {
  auto sink = x11::openXTestEventSink("/nonexistent/quorin-test-display:0");
  EXPECT_EQ(sink, nullptr);
  InputInjector(std::move(sink)).handle(inputEvent(Kind::keyText, "still fine"));
}

}  // namespace
}  // namespace quorin
