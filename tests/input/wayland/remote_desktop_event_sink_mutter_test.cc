#include <gtest/gtest.h>
#include <linux/input-event-codes.h>
#include <xkbcommon/xkbcommon-keysyms.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "fakes/require_service.h"
#include "input/input_events.h"
#include "input/input_injector.h"
#include "input/wayland/remote_desktop_event_sink.h"
#include "input/wayland/remote_desktop_mutter_session.h"
#include "wayland/wayland_test_client.h"

namespace quorin {
namespace {

using Kind = InputEvent::Kind;
using Type = WaylandInputEvent::Type;
using Events = std::vector<WaylandInputEvent>;

InputEvent at(Kind kind, double x, double y) {
  InputEvent e = inputEvent(kind);
  e.x = x, e.y = y;
  return e;
}

// Drives a headless mutter (scripts/lib/mutter.sh, US layout, $MUTTER_WAYLAND_DISPLAY) through
// its own remote desktop session, and reads what reaches a full-screen Wayland window.
class RemoteDesktopMutterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    if (const char* display = std::getenv("MUTTER_WAYLAND_DISPLAY")) {
      setenv("WAYLAND_DISPLAY", display, 1);  // for the window
      session_ = MutterRemoteDesktopSession::start(&error);
    } else {
      error = "MUTTER_WAYLAND_DISPLAY is not set";
    }
    QUORIN_REQUIRE(session_, "no mutter remote desktop (" << error << "); start_mutter starts one");
    injector_ = std::make_unique<InputInjector>(
        std::make_unique<RemoteDesktopEventSink>(session_->input(), session_->stream()));
    // The session's devices join the seat on their first use; a window sees only those present.
    injector_->handle(inputEvent(Kind::mouseMove));
    injector_->handle(inputEvent(Kind::keySpecial, "escape"));
    client_ = std::make_unique<WaylandTestClient>();
    ASSERT_TRUE(client_->ready()) << client_->error();
    injector_->handle(at(Kind::leftClick, 0.5, 0.5));
    ASSERT_TRUE(client_->waitForKeyboardFocus());
    // mutter zooms a new window in; until it is done, positions inside it come out scaled.
    bool exact = false;
    for (int i = 0; i < 100 && !exact; ++i) {
      const double f = 0.1 + 0.1 * (i % 2);
      injector_->handle(at(Kind::mouseMove, f, f));
      exact = client_->waitFor([&](const Events& got) {
        return !got.empty() && got.back().x == f * client_->width() && got.back().y == f * client_->height();
      }, std::chrono::milliseconds(100));
    }
    client_->take();
  }

  Events until(const std::function<bool(const Events&)>& done) {
    EXPECT_TRUE(client_->waitFor(done, std::chrono::seconds(10)));
    return client_->take();
  }
  static bool has(const Events& events, Type type, std::uint32_t code) {
    return std::any_of(events.begin(), events.end(), [&](const auto& e) { return e.type == type && e.code == code; });
  }
  static unsigned modifiersAtEnd(const Events& events) {
    unsigned held = 0;
    for (const auto& e : events) held = e.type == Type::modifiers ? e.modifiers : held;
    return held;
  }

  std::unique_ptr<MutterRemoteDesktopSession> session_;
  std::unique_ptr<WaylandTestClient> client_;
  std::unique_ptr<InputInjector> injector_;
};

TEST_F(RemoteDesktopMutterTest, PointerReachesTheExactPixelAndClicksAndScrolls) {
  ASSERT_EQ(client_->width(), session_->stream().width);
  injector_->handle(at(Kind::rightClick, 0.25, 0.75));
  InputEvent scroll = at(Kind::scroll, 0, 0);
  scroll.dy = 50;  // up, back along the vertical axis
  injector_->handle(scroll);
  scroll.dx = -50, scroll.dy = 0;  // right
  injector_->handle(scroll);
  std::vector<std::string> seen;
  for (const auto& e : until([](const Events& got) { return has(got, Type::axisDiscrete, 1); })) {
    if (e.type == Type::button) {
      seen.push_back(std::to_string(e.code) + (e.pressed ? " down " : " up ") + std::to_string(e.x) + "," + std::to_string(e.y));
    } else if (e.type == Type::axisDiscrete) {
      seen.push_back("axis " + std::to_string(e.code) + " " + std::to_string(e.discrete));
    }
  }
  const std::string right = std::to_string(BTN_RIGHT), pixel = std::to_string(480.0) + "," + std::to_string(810.0);
  EXPECT_EQ(seen, (std::vector<std::string>{right + " down " + pixel, right + " up " + pixel, "axis 0 -1", "axis 1 1"}));
}

TEST_F(RemoteDesktopMutterTest, TextArrivesWhateverTheLayoutLevelAndModifiersAreLetGo) {
  // '€' is behind AltGr on the US layout and 'A' behind Shift. 'é' and 'ŝ' are not on it:
  // mutter drops them (it types a keysym only through a key of its current keymap), yet the
  // text around them still arrives.
  injector_->handle(inputEvent(Kind::keyText, "é€Aŝz\n"));
  Events got = until([](const Events& events) { return WaylandTestClient::typedText(events).ends_with("\r"); });
  EXPECT_EQ(WaylandTestClient::typedText(got), "€Az\r");
  EXPECT_EQ(modifiersAtEnd(got), 0U);

  // Command is Control here, so that cmd+C copies; modifiers are held only around the key.
  injector_->handle(inputEvent(Kind::keyText, "c", std::vector<std::string>{"command"}));
  injector_->handle(inputEvent(Kind::keySpecial, "left", std::vector<std::string>{"option", "shift"}));
  got = until([](const Events& events) { return has(events, Type::key, KEY_LEFT) && modifiersAtEnd(events) == 0; });
  std::vector<std::pair<std::uint32_t, unsigned>> presses;
  for (const auto& e : got) {
    if (e.type == Type::key && e.pressed && (e.keysym == 'c' || e.keysym == XKB_KEY_Left)) {
      presses.emplace_back(e.keysym, e.modifiers);
    }
  }
  EXPECT_EQ(presses, (std::vector<std::pair<std::uint32_t, unsigned>>{
                         {'c', kWaylandControl}, {XKB_KEY_Left, kWaylandAlt | kWaylandShift}}));
  EXPECT_EQ(modifiersAtEnd(got), 0U);
}

}  // namespace
}  // namespace quorin
