#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "fakes/require_service.h"
#include "input/event_sink_test.h"
#include "input/wayland/remote_desktop_event_sink.h"
#include "input/wayland/remote_desktop_mutter_session.h"
#include "input/wayland/wlr_event_sink.h"
#include "wayland/wayland_test_client.h"

namespace quorin {
namespace {

// The wlroots virtual pointer and keyboard, under sway on $WAYLAND_DISPLAY.
class WlrEventSinkTest : public EventSinkTest {
 protected:
  void SetUp() override {
    auto sink = client_.ready() ? wayland::openWlrEventSink() : nullptr;
    QUORIN_REQUIRE(sink, (client_.ready() ? "the compositor offers no virtual pointer or keyboard" : client_.error())
                             << "; run under sway (scripts/test)");
    // A compositor without other input devices gives the window a keyboard only now that the
    // sink has made one.
    ASSERT_TRUE(client_.waitForKeyboardFocus());
    start(std::move(sink), client_, client_.width(), client_.height());
  }

  WaylandTestClient client_;
};

TEST_F(WlrEventSinkTest, PointerReachesExactPixelsAndButtonsAndWheelFollow) { pointerScenario(true); }

TEST_F(WlrEventSinkTest, ModifiersAreHeldAroundEachKeyOnlyWithCommandAsControl) { modifierScenario(); }

TEST_F(WlrEventSinkTest, TextArrivesExactlyWhateverItHolds) {
  EXPECT_EQ(typed("Hi, #1!\tok"), "Hi, #1!\tok");
  const std::string mixed = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xE4\xB8\xAD\xC3\x89";  // aé€😀中É
  EXPECT_EQ(typed(mixed), mixed);
  // More different characters than the layout holds at once, each typed twice.
  const std::string cjk = ideographs(300) + "x" + ideographs(300);
  EXPECT_EQ(typed(cjk), cjk);
}

TEST_F(WlrEventSinkTest, NewSinkCountsItsFirstEventsAndLetsGoOfHeldButtons) {
  auto fresh = wayland::openWlrEventSink();
  ASSERT_TRUE(fresh);
  fresh->movePointer(123, 45);
  fresh->typeText(U"\u00e9", {});
  fresh->setButton(MouseButton::left, true);
  fresh->finish();
  const auto button = [](bool pressed) {
    return [pressed](const ReceivedEvent& e) { return e.type == Type::button && e.code == BTN_LEFT && e.pressed == pressed; };
  };
  Events got = until([&](const Events& e) {
    return InputRecorder::typedText(e) == "\xC3\xA9" && std::any_of(e.begin(), e.end(), button(true));
  });
  EXPECT_TRUE(std::any_of(got.begin(), got.end(), [](const auto& e) { return endsAt({e}, {123, 45}); }));
  fresh.reset();
  got = until([&](const Events& e) { return std::any_of(e.begin(), e.end(), button(false)); });
  EXPECT_TRUE(std::any_of(got.begin(), got.end(), button(false))) << "the button stays down after its sink is gone";
}

TEST(WlrEventSinkOpen, UnreachableCompositorGivesNoSink) {
  EXPECT_EQ(wayland::openWlrEventSink("quorin-no-such-wayland-display"), nullptr);
}

// A headless mutter (scripts/lib/mutter.sh, US layout, $MUTTER_WAYLAND_DISPLAY) driven through
// its own remote desktop session: the Notify* calls the portal's session makes.
class RemoteDesktopMutterTest : public EventSinkTest {
 protected:
  void SetUp() override {
    std::string error;
    const char* display = std::getenv("MUTTER_WAYLAND_DISPLAY");
    if (display) {
      session_ = MutterRemoteDesktopSession::start(&error);
    } else {
      error = "MUTTER_WAYLAND_DISPLAY is not set";
    }
    QUORIN_REQUIRE(session_, "no mutter remote desktop (" << error << "); start_mutter starts one");
    const ScreenRect stream = session_->stream();
    auto sink = std::make_unique<RemoteDesktopEventSink>(session_->input(), stream);
    // The session's devices join the seat on their first use; a window sees only those present.
    sink->movePointer(0, 0);
    sink->pressKey(SpecialKey::escape, {});
    client_ = std::make_unique<WaylandTestClient>(display);
    ASSERT_TRUE(client_->ready()) << client_->error();
    sink->movePointer(stream.width / 2, stream.height / 2);
    sink->setButton(MouseButton::left, true);
    sink->setButton(MouseButton::left, false);
    sink->finish();
    ASSERT_TRUE(client_->waitForKeyboardFocus());
    start(std::move(sink), *client_, client_->width(), client_->height());
  }

  std::unique_ptr<MutterRemoteDesktopSession> session_;
  std::unique_ptr<WaylandTestClient> client_;
};

TEST_F(RemoteDesktopMutterTest, PointerReachesExactPixelsAndButtonsAndWheelFollow) { pointerScenario(true); }

TEST_F(RemoteDesktopMutterTest, ModifiersAreHeldAroundEachKeyOnlyWithCommandAsControl) { modifierScenario(); }

TEST_F(RemoteDesktopMutterTest, TextArrivesWhateverTheLayoutLevelAndLevelKeysAreLetGo) {
  // '€' is behind AltGr on the US layout and 'A' behind Shift. 'é' and 'ŝ' are not on it:
  // mutter drops them (it types a keysym only through a key of its current keymap), yet the
  // text around them still arrives.
  injector_->handle(inputEvent(Kind::keyText, "é€Aŝz\n"));
  const Events got = until([](const Events& e) { return InputRecorder::typedText(e).ends_with("\r"); });
  EXPECT_EQ(InputRecorder::typedText(got), "€Az\r");
  const auto last = std::find_if(got.rbegin(), got.rend(), [](const auto& e) { return e.type == Type::modifiers; });
  EXPECT_TRUE(last == got.rend() || last->modifiers == 0);
}

}  // namespace
}  // namespace quorin
