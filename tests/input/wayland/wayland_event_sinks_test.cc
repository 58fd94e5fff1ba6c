#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "fakes/require_service.h"
#include "input/event_sink_test.h"
#include "input/wayland/remote_desktop_event_sink.h"
#include "base/sd_bus.h"
#include "input/wayland/wlr_event_sink.h"
#include "wayland/mutter_session.h"
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

// A session of mutter's own remote desktop service, sharing its primary monitor. It asks
// nobody, which is why the host goes through the portal and only tests use it: it takes the
// same Notify* calls.
class MutterInput final : public RemoteDesktopInput {
 public:
  // Creates and starts a session; nothing when mutter is not reachable.
  static std::unique_ptr<MutterInput> start() {
    SdBusPtr bus;
    std::string error;
    if (sd_bus_open_user(bus.out()) < 0) return nullptr;
    std::unique_ptr<MutterSession> session = MutterSession::start(bus.get(), 1, error);
    return session ? std::make_unique<MutterInput>(std::move(session)) : nullptr;
  }

  explicit MutterInput(std::unique_ptr<MutterSession> session) : session_(std::move(session)) {}

  bool pointerMotionAbsolute(double x, double y) override {
    return session_->notify("NotifyPointerMotionAbsolute", "sdd", session_->streamPath().c_str(), x, y);
  }
  bool pointerButton(int button, bool pressed) override {
    return session_->notify("NotifyPointerButton", "ib", button, static_cast<int>(pressed));
  }
  bool pointerAxisDiscrete(ScrollAxis axis, int steps) override {
    return session_->notify("NotifyPointerAxisDiscrete", "ui", static_cast<std::uint32_t>(axis), steps);
  }
  bool keyboardKeysym(std::uint32_t keysym, bool pressed) override {
    return session_->notify("NotifyKeyboardKeysym", "ub", keysym, static_cast<int>(pressed));
  }

 private:
  std::unique_ptr<MutterSession> session_;
};

// A headless mutter (scripts/lib/mutter.sh, US layout, $MUTTER_WAYLAND_DISPLAY) driven through
// a session of its own remote desktop service.
class RemoteDesktopMutterTest : public EventSinkTest {
 protected:
  void SetUp() override {
    const char* display = std::getenv("MUTTER_WAYLAND_DISPLAY");
    std::unique_ptr<MutterInput> input = display ? MutterInput::start() : nullptr;
    QUORIN_REQUIRE(input, "no mutter remote desktop on $MUTTER_WAYLAND_DISPLAY; start_mutter starts one");
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

  std::unique_ptr<WaylandTestClient> client_;
};

TEST_F(RemoteDesktopMutterTest, PointerReachesExactPixelsAndButtonsAndWheelFollow) { pointerScenario(true); }

TEST_F(RemoteDesktopMutterTest, ModifiersAreHeldAroundEachKeyOnlyWithCommandAsControl) { modifierScenario(); }

TEST_F(RemoteDesktopMutterTest, TextArrivesWhateverTheLayoutLevelAndLevelKeysAreLetGo) {
  // '€' is behind AltGr on the US layout and 'A' behind Shift. 'é' and 'ŝ' are not on it:
  // mutter drops them (it types a keysym only through a key of its current keymap), yet the
  // text around them still arrives.
  injector_->handle(inputEvent(Kind::keyText, "é€Aŝz\n"));
  // A level key left down would turn what follows it.
  const Events got = until([](const Events& e) { return InputRecorder::typedText(e).ends_with("\r"); });
  EXPECT_EQ(InputRecorder::typedText(got), "€Az\r");
}

}  // namespace
}  // namespace quorin
