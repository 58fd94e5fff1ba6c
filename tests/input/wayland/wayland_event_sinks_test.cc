#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "fakes/log_capture.h"
#include "fakes/require_service.h"
#include "input/event_sink_test.h"
#include "desktop/gnome/mutter_input.h"
#include "desktop/gnome/mutter_remote_desktop.h"
#include "input/wayland/remote_desktop_event_sink.h"
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
    ASSERT_TRUE(client_.waitFor(InputRecorder::focused));
    start(std::move(sink), client_, client_.width(), client_.height());
  }

  WaylandTestClient client_;
};

TEST_F(WlrEventSinkTest, PointerReachesExactPixelsAndButtonsAndWheelFollow) { pointerScenario(true); }

TEST_F(WlrEventSinkTest, ModifiersAreHeldAroundEachKeyOnlyWithCommandAsControl) { modifierScenario(); }

TEST_F(WlrEventSinkTest, TextArrivesExactlyWhateverItHolds) {
  // Then more different characters than the layout holds at once, each typed twice.
  const std::string text = "Hi, #1!\tok a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xE4\xB8\xAD\xC3\x89" +  // aé€😀中É
                           ideographs(300) + "x" + ideographs(300);
  EXPECT_EQ(typed(text), text);
}

TEST_F(WlrEventSinkTest, NewSinkCountsItsFirstEventsAndLetsGoOfHeldButtons) {
  auto fresh = wayland::openWlrEventSink();
  ASSERT_TRUE(fresh);
  fresh->movePointer(123, 45);
  fresh->typeText(U"\u00e9", {});
  fresh->setButton(MouseButton::left, true);
  fresh->finish();
  const auto left = [](bool pressed) {
    return [=](const Events& got) {
      return std::ranges::any_of(got, [=](const auto& e) { return e.type == Type::button && e.pressed == pressed; });
    };
  };
  const Events got = until([&](const Events& e) { return InputRecorder::typedText(e) == "\xC3\xA9" && left(true)(e); });
  EXPECT_TRUE(std::ranges::any_of(got, [](const auto& e) { return endsAt({e}, {123, 45}); }));
  fresh.reset();
  until(left(false));  // a button does not stay down once its sink is gone
}

TEST(WlrEventSinkOpen, UnreachableCompositorGivesNoSink) {
  EXPECT_EQ(wayland::openWlrEventSink("quorin-no-such-wayland-display"), nullptr);
}

// A headless mutter (scripts/lib/mutter.sh, US layout, $MUTTER_WAYLAND_DISPLAY) driven through
// a session of its own remote desktop service.
class RemoteDesktopMutterTest : public EventSinkTest {
 protected:
  void SetUp() override {
    const char* display = std::getenv("MUTTER_WAYLAND_DISPLAY");
    CaptureError error;
    remote_ = display ? MutterRemoteDesktop::connect(std::chrono::seconds(3), error) : nullptr;
    // An empty connector records the primary monitor.
    QUORIN_REQUIRE(remote_ && remote_->record("", nullptr, error),
                   "no mutter remote desktop on $MUTTER_WAYLAND_DISPLAY (" << error.description
                                                                            << "); start_mutter starts one");
    auto input = std::make_unique<MutterInput>(remote_, display);
    // The session's devices join the seat on their first use; a window sees only those present.
    input->pointerMotionAbsolute(0, 0);
    input->keyboardKeysym(XKB_KEY_Escape, true);
    input->keyboardKeysym(XKB_KEY_Escape, false);
    client_ = std::make_unique<WaylandTestClient>(display);
    ASSERT_TRUE(client_->ready()) << client_->error();
    // The window covers the monitor the session shares.
    const ScreenRect stream{0, 0, client_->width(), client_->height()};
    input->pointerMotionAbsolute(stream.width / 2, stream.height / 2);
    input->pointerButton(BTN_LEFT, true);
    input->pointerButton(BTN_LEFT, false);
    ASSERT_TRUE(client_->waitFor(InputRecorder::focused));
    start(std::make_unique<RemoteDesktopEventSink>(std::move(input), stream), *client_, stream.width, stream.height);
  }

  std::shared_ptr<MutterRemoteDesktop> remote_;
  std::unique_ptr<WaylandTestClient> client_;
};

TEST_F(RemoteDesktopMutterTest, PointerReachesExactPixelsAndButtonsAndWheelFollow) { pointerScenario(true); }

TEST_F(RemoteDesktopMutterTest, ModifiersAreHeldAroundEachKeyOnlyWithCommandAsControl) { modifierScenario(); }

TEST_F(RemoteDesktopMutterTest, TextArrivesWhateverTheLayoutLevelAndLevelKeysAreLetGo) {
  // '€' is behind AltGr on the US layout and 'A' behind Shift. 'é' and 'ŝ' are not on it:
  // mutter drops them (it types a keysym only through a key of its current keymap), yet the
  // text around them still arrives, and each dropped character is logged once.
  LogCapture log;
  injector_->handle(inputEvent(Kind::keyText, "é€Aŝzé\n"));
  // A level key left down would turn what follows it.
  const Events got = until([](const Events& e) { return InputRecorder::typedText(e).ends_with("\r"); });
  EXPECT_EQ(InputRecorder::typedText(got), "€Az\r");
  const auto dropped = [&](const std::string& name) {
    return log.count("QuorinRemote: the desktop's keyboard layout has no key for " + name +
                     "; GNOME drops it (switch the layout to type it)");
  };
  EXPECT_EQ(dropped("eacute"), 1);
  EXPECT_EQ(dropped("scircumflex"), 1);
  EXPECT_EQ(dropped("EuroSign"), 0);
  EXPECT_EQ(dropped("A"), 0);
}

}  // namespace
}  // namespace quorin
