#include "input/x11/xtest_event_sink.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "app/command_output.h"
#include "base/x11/own_x_server.h"
#include "fakes/require_service.h"
#include "input/event_sink_test.h"
#include "input/x11_test_client.h"

namespace quorin {
namespace {

class XTestEventSinkTest : public EventSinkTest {
 protected:
  void SetUp() override {
    QUORIN_REQUIRE(display_.connected(), "no X display reachable; run under Xvfb (scripts/test)");
    auto sink = x11::openXTestEventSink();
    ASSERT_TRUE(sink) << "the display has no XTest extension";
    const ScreenRect screen = sink->screenFrame().value_or(ScreenRect{});
    client_ = std::make_unique<X11TestClient>(screen);
    ASSERT_TRUE(client_->ready());
    start(std::move(sink), *client_, screen.width, screen.height);
  }

  X11TestDisplay display_;
  std::unique_ptr<X11TestClient> client_;
};

TEST_F(XTestEventSinkTest, PointerReachesExactPixelsAndButtonsAndWheelFollow) { pointerScenario(false); }

TEST_F(XTestEventSinkTest, ModifiersAreHeldAroundEachKeyOnlyWithCommandAsControl) { modifierScenario(); }

TEST_F(XTestEventSinkTest, TextArrivesExactlyWhateverTheKeymapLayoutAndCapsLockAndLeavesThemAsFound) {
  ASSERT_EQ(std::system("setxkbmap -layout us,ru"), 0);
  display_.lockKeyboard(1, true);  // the Russian layout, Caps Lock on
  const auto keymap = [] { return commandOutput("xmodmap -pke -pm"); };  // core keys and modifiers
  const std::string before = keymap();
  // Shifted keys, and characters missing from the keymap, capitals among them (ÉÅЖ€😀中).
  // More missing characters than spare keycodes follow, each used twice.
  const std::string text = "Hi, #1! \xC3\x89\xC3\x85\xD0\x96\xE2\x82\xAC\xF0\x9F\x98\x80\xE4\xB8\xAD" +
                           ideographs(60) + ideographs(60);
  EXPECT_EQ(typed(text), text);
  EXPECT_EQ(display_.keyboardLock(), std::make_pair(1, true));
  EXPECT_TRUE(keymap() == before) << "the keymap was left changed";
  display_.lockKeyboard(0, false);
  std::system("setxkbmap -layout us");
}

TEST(XTestEventSinkOpen, UnreachableDisplayGivesNoSinkAndTheInjectorPostsNothing) {
  auto sink = x11::openXTestEventSink("/nonexistent/quorin-test-display:0");
  EXPECT_EQ(sink, nullptr);
  InputInjector(std::move(sink)).handle(inputEvent(InputEvent::Kind::keyText, "still fine"));
}

// A server that stops answering in the middle of a call: the sink's watch cuts it off, the
// call returns, and the sink says so, posts nothing more and closes without waiting.
TEST(XTestEventSinkStopped, AStoppedServerIsCutOffAndTheSinkTurnsInert) {
  OwnXServer server;
  QUORIN_REQUIRE(!server.name().empty(), "Xvfb did not start");
  auto sink = x11::openXTestEventSink(server.name().c_str());
  ASSERT_TRUE(sink);
  EXPECT_EQ(sink->screenFrame(), (ScreenRect{0, 0, 1280, 720}));
  server.stop();
  EXPECT_EQ(sink->screenFrame(), std::nullopt);
  EXPECT_TRUE(sink->failed());
  sink->typeText(U"still fine", {});
  sink->finish();
  sink.reset();
  server.resume();
}

}  // namespace
}  // namespace quorin
