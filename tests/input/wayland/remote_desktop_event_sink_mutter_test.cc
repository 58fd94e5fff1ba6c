#include <gtest/gtest.h>
#include <linux/input-event-codes.h>
#include <xkbcommon/xkbcommon-keysyms.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "input/input_events.h"
#include "input/input_injector.h"
#include "input/wayland/remote_desktop_event_sink.h"
#include "input/wayland/remote_desktop_mutter_session.h"
#include "wayland/wayland_test_client.h"

namespace quorin {
namespace {

using Kind = InputEvent::Kind;
using Type = WaylandInputEvent::Type;

// Drives a headless mutter (scripts/lib/mutter.sh, US layout, $MUTTER_WAYLAND_DISPLAY) through
// its own remote desktop session, and reads what reaches a full-screen Wayland window.
class RemoteDesktopMutterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error = "MUTTER_WAYLAND_DISPLAY is not set";
    if (const char* display = std::getenv("MUTTER_WAYLAND_DISPLAY")) {
      setenv("WAYLAND_DISPLAY", display, 1);  // for the window
      session_ = MutterRemoteDesktopSession::start(&error);
    }
    if (!session_) {
      const char* ci = std::getenv("CI");
      if (ci && std::string(ci) == "true") FAIL() << "no mutter remote desktop: " << error;
      GTEST_SKIP() << "no mutter remote desktop (" << error << "); start_mutter starts one";
    }
    injector_ = std::make_unique<InputInjector>(
        std::make_unique<RemoteDesktopEventSink>(session_->input(), session_->stream()));
    // The session's devices join the seat on their first use; a window sees only those present.
    injector_->handle(inputEvent(Kind::mouseMove));
    injector_->handle(inputEvent(Kind::keySpecial, "escape"));
    client_ = std::make_unique<WaylandTestClient>();
    ASSERT_TRUE(client_->ready()) << client_->error();
    ASSERT_TRUE(client_->paint(0xFF204060));
    // A click away from where the pointer was gives the window the pointer and the keyboard.
    InputEvent click = inputEvent(Kind::leftClick);
    click.x = click.y = 0.5;
    injector_->handle(click);
    ASSERT_TRUE(client_->waitForKeyboardFocus());
    // mutter zooms a new window in; until it is done, positions inside it come out scaled.
    for (int i = 0; i < 100 && !pointerLandsAt(0.1 + 0.1 * (i % 2)); ++i) {
    }
    client_->take();
  }

  // Moves the pointer to (fraction, fraction) of the screen; whether the window saw it there.
  bool pointerLandsAt(double fraction) {
    InputEvent move = inputEvent(Kind::mouseMove);
    move.x = move.y = fraction;
    injector_->handle(move);
    const double x = fraction * session_->stream().width;
    const double y = fraction * session_->stream().height;
    bool exact = false;
    client_->waitFor([&](const auto& got) {
      exact = !got.empty() && got.back().type == Type::motion && got.back().x == x && got.back().y == y;
      return exact;
    }, std::chrono::milliseconds(100));
    return exact;
  }

  std::vector<WaylandInputEvent> until(const std::function<bool(const std::vector<WaylandInputEvent>&)>& done) {
    client_->waitFor(done, std::chrono::seconds(10));
    return client_->take();
  }
  static unsigned lastModifiers(const std::vector<WaylandInputEvent>& events) {
    unsigned held = 0;
    for (const auto& e : events) {
      if (e.type == Type::modifiers) held = e.modifiers;
    }
    return held;
  }

  std::unique_ptr<MutterRemoteDesktopSession> session_;
  std::unique_ptr<WaylandTestClient> client_;
  std::unique_ptr<InputInjector> injector_;
};

TEST_F(RemoteDesktopMutterTest, PointerReachesTheExactPixelAndClicksAndScrolls) {
  ASSERT_EQ(client_->width(), session_->stream().width);
  InputEvent move = inputEvent(Kind::mouseMove);
  move.x = 0.25;
  move.y = 0.75;
  injector_->handle(move);
  injector_->handle(inputEvent(Kind::rightClick));
  for (const auto& [dx, dy] : {std::pair{0.0, 50.0}, {-50.0, 0.0}}) {
    InputEvent scroll = inputEvent(Kind::scroll);
    scroll.dx = dx;
    scroll.dy = dy;
    injector_->handle(scroll);
  }
  const auto got = until([](const auto& events) {
    return std::count_if(events.begin(), events.end(),
                         [](const auto& e) { return e.type == Type::axisDiscrete; }) >= 2;
  });
  std::vector<std::string> seen;
  for (const auto& e : got) {
    if (e.type == Type::button) {
      seen.push_back((e.code == BTN_RIGHT ? "right " : "other ") + std::string(e.pressed ? "down" : "up") +
                     " at " + std::to_string(e.x) + "," + std::to_string(e.y));
    } else if (e.type == Type::axisDiscrete) {
      seen.push_back("axis " + std::to_string(e.code) + " " + std::to_string(e.discrete));
    }
  }
  const std::string at = " at " + std::to_string(480.0) + "," + std::to_string(810.0);
  // Positive dy scrolls up (back along the vertical axis); negative dx scrolls right.
  EXPECT_EQ(seen, (std::vector<std::string>{"right down" + at, "right up" + at, "axis 0 -1", "axis 1 1"}));
}

TEST_F(RemoteDesktopMutterTest, TextArrivesWhateverTheLayoutLevelAndModifiersAreLetGo) {
  // '€' is behind AltGr on the US layout and 'A' behind Shift. 'é' and 'ŝ' are not on it:
  // mutter drops them (it types a keysym only through a key of its current keymap), yet the
  // text around them still arrives.
  injector_->handle(inputEvent(Kind::keyText, "é€Aŝz\n"));
  auto got = until([](const auto& events) { return WaylandTestClient::typedText(events).ends_with("\r"); });
  EXPECT_EQ(WaylandTestClient::typedText(got), "€Az\r");
  EXPECT_EQ(lastModifiers(got), 0U);

  // Command is Control here, so that cmd+C copies; it is held only around the key.
  injector_->handle(inputEvent(Kind::keyText, "c", std::vector<std::string>{"command"}));
  injector_->handle(inputEvent(Kind::keySpecial, "left", std::vector<std::string>{"option", "shift"}));
  got = until([](const auto& events) {
    return std::any_of(events.begin(), events.end(),
                       [](const auto& e) { return e.keysym == XKB_KEY_Left && !e.pressed; }) &&
           lastModifiers(events) == 0;
  });
  std::vector<std::pair<std::uint32_t, unsigned>> presses;
  for (const auto& e : got) {
    if (e.type == Type::key && e.pressed && (e.keysym == 'c' || e.keysym == XKB_KEY_Left)) {
      presses.emplace_back(e.keysym, e.modifiers);
    }
  }
  ASSERT_EQ(presses.size(), 2U);
  EXPECT_EQ(presses[0], std::make_pair(std::uint32_t{'c'}, unsigned{kWaylandControl}));
  EXPECT_EQ(presses[1].second, unsigned{kWaylandAlt | kWaylandShift});
  EXPECT_EQ(lastModifiers(got), 0U);
}

}  // namespace
}  // namespace quorin
