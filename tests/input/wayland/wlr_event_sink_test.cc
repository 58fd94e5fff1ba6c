#include "input/wayland/wlr_event_sink.h"

#include <gtest/gtest.h>
#include <linux/input-event-codes.h>
#include <wayland-client-protocol.h>
#include <xkbcommon/xkbcommon-keysyms.h>

#include <cmath>
#include <cstdlib>
#include <string>

#include "fakes/require_service.h"
#include "input/input_events.h"
#include "input/input_injector.h"
#include "wayland/wayland_test_client.h"

namespace quorin {
namespace {

using Kind = InputEvent::Kind;
using Type = WaylandInputEvent::Type;
using Events = std::vector<WaylandInputEvent>;

bool isPointerAt(const WaylandInputEvent& e, double x, double y) {
  return (e.type == Type::motion || e.type == Type::pointerEnter) && e.x == x && e.y == y;
}

class WlrEventSinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    client_ = std::make_unique<WaylandTestClient>();
    auto sink = client_->ready() ? wayland::openWlrEventSink() : nullptr;
    const std::string why = client_->ready() ? "the compositor offers no virtual pointer or keyboard"
                                             : client_->error();
    QUORIN_REQUIRE(sink, why << "; run under sway (scripts/test)");
    sink_ = sink.get();
    injector_ = std::make_unique<InputInjector>(std::move(sink));
    // A compositor without other input devices gives the window a pointer and a keyboard only
    // now that the sink has made some; wait until it holds both.
    // The pointer starts where an earlier test left it, so move it both ways.
    ASSERT_TRUE(client_->waitForKeyboardFocus());
    bool home = false;
    for (int i = 1; i <= 50 && !home; ++i) {
      sink_->movePointer(i % 2, i % 2);
      sink_->finish();
      home = client_->waitFor([i](const Events& got) { return !got.empty() && isPointerAt(got.back(), i % 2, i % 2); },
                              std::chrono::milliseconds(100));
    }
    ASSERT_TRUE(home) << "the pointer never reached the window";
    client_->take();
  }

  Events until(const std::function<bool(const Events&)>& done) {
    EXPECT_TRUE(client_->waitFor(done, std::chrono::seconds(20)));
    return client_->take();
  }
  std::string typed(const std::string& text, std::optional<std::vector<std::string>> modifiers = {}) {
    injector_->handle(inputEvent(Kind::keyText, text, std::move(modifiers)));
    return WaylandTestClient::typedText(
        until([&](const Events& got) { return WaylandTestClient::typedText(got) == text; }));
  }

  std::unique_ptr<WaylandTestClient> client_;
  EventSink* sink_ = nullptr;  // owned by the injector
  std::unique_ptr<InputInjector> injector_;
};

TEST_F(WlrEventSinkTest, PointerReachesExactPixelsAndButtonsAndWheelFollow) {
  const std::optional<ScreenRect> frame = sink_->screenFrame();
  ASSERT_TRUE(frame);
  EXPECT_EQ(std::make_pair(frame->width, frame->height), std::make_pair(client_->width(), client_->height()));

  // The far corner catches an extent off by one.
  sink_->movePointer(frame->x + frame->width - 1, frame->y + frame->height - 1);
  sink_->finish();
  until([&](const Events& got) {
    return !got.empty() && isPointerAt(got.back(), frame->width - 1, frame->height - 1);
  });

  InputEvent move = inputEvent(Kind::mouseMove);
  move.x = 0.3;
  move.y = 0.7;
  injector_->handle(move);
  const double x = std::lround(0.3 * frame->width);
  const double y = std::lround(0.7 * frame->height);
  until([&](const Events& e) { return !e.empty() && isPointerAt(e.back(), x, y); });

  for (const Kind kind : {Kind::leftClick, Kind::rightClick, Kind::doubleClick}) injector_->handle(inputEvent(kind));
  for (const auto& [dx, dy] : {std::pair{0.0, 50.0}, {0.0, -50.0}, {50.0, 0.0}, {-50.0, 0.0}}) {
    InputEvent scroll = inputEvent(Kind::scroll);
    scroll.dx = dx;
    scroll.dy = dy;
    injector_->handle(scroll);
  }
  std::vector<std::pair<std::uint32_t, bool>> buttons;
  std::vector<std::pair<std::uint32_t, int>> wheel;
  std::vector<double> lengths;
  for (const WaylandInputEvent& e : until([](const Events& e) {
         return std::count_if(e.begin(), e.end(), [](const auto& e) { return e.type == Type::axis; }) >= 4;
       })) {
    if (e.type == Type::button) buttons.emplace_back(e.code, e.pressed);
    if (e.type == Type::axisDiscrete) wheel.emplace_back(e.code, e.discrete);
    if (e.type == Type::axis) lengths.push_back(e.value);
    if (e.type == Type::button || e.type == Type::axisDiscrete) {
      EXPECT_EQ(std::make_pair(e.x, e.y), std::make_pair(x, y));
    }
  }
  decltype(buttons) clicks;
  for (const std::uint32_t b : {BTN_LEFT, BTN_RIGHT, BTN_LEFT, BTN_LEFT}) clicks.insert(clicks.end(), {{b, true}, {b, false}});
  EXPECT_EQ(buttons, clicks);
  // Up and left are negative on a Wayland axis.
  const std::uint32_t vertical = WL_POINTER_AXIS_VERTICAL_SCROLL;
  const std::uint32_t horizontal = WL_POINTER_AXIS_HORIZONTAL_SCROLL;
  EXPECT_EQ(wheel, (std::vector<std::pair<std::uint32_t, int>>{{vertical, -1}, {vertical, 1},
                                                               {horizontal, -1}, {horizontal, 1}}));
  EXPECT_EQ(lengths, (std::vector<double>{-15, 15, -15, 15}));
}

TEST_F(WlrEventSinkTest, TextArrivesExactlyAndModifiersAreHeldAroundEachKeyOnly) {
  EXPECT_EQ(typed("Hi, #1!\tok"), "Hi, #1!\tok");
  const std::string mixed = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xE4\xB8\xAD\xC3\x89";  // aé€😀中É
  EXPECT_EQ(typed(mixed), mixed);
  // More different characters than the layout holds at once, each typed twice.
  const std::string cjk = ideographs(300) + "x" + ideographs(300);
  EXPECT_EQ(typed(cjk), cjk);

  injector_->handle(inputEvent(Kind::keySpecial, "return", std::vector<std::string>{"CMD"}));
  injector_->handle(inputEvent(Kind::keyText, "Ab", std::vector<std::string>{"shift", "alt"}));
  injector_->handle(inputEvent(Kind::keyText, "c"));
  std::vector<std::pair<std::uint32_t, unsigned>> presses;  // keysym, modifiers
  Events got = until([](const Events& e) { return WaylandTestClient::typedText(e).ends_with("c"); });
  for (const WaylandInputEvent& e : got) {
    if (e.type == Type::key && e.pressed && (e.keysym == XKB_KEY_Return || e.text.size() == 1)) {
      presses.emplace_back(e.keysym, e.modifiers);
    }
  }
  const unsigned shiftAlt = kWaylandShift | kWaylandAlt;
  EXPECT_EQ(presses, (std::vector<std::pair<std::uint32_t, unsigned>>{
                         {XKB_KEY_Return, kWaylandControl}, {'A', shiftAlt}, {'b', shiftAlt}, {'c', 0u}}));
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(std::find_if(got.rbegin(), got.rend(), [](const auto& e) { return e.type == Type::modifiers; })->modifiers,
            0u);
}

TEST_F(WlrEventSinkTest, NewSinkCountsItsFirstEventsAndLetsGoOfHeldButtons) {
  auto fresh = wayland::openWlrEventSink();
  ASSERT_TRUE(fresh);
  fresh->movePointer(123, 45);
  fresh->typeText(U"\u00e9", {});
  fresh->setButton(MouseButton::left, true);
  fresh->finish();
  Events got = until([](const Events& e) { return WaylandTestClient::typedText(e) == "\xC3\xA9" &&
                                                  std::any_of(e.begin(), e.end(), [](const auto& e) {
                                                    return e.type == Type::button;
                                                  }); });
  EXPECT_TRUE(std::any_of(got.begin(), got.end(), [](const auto& e) { return isPointerAt(e, 123, 45); }));
  EXPECT_EQ(WaylandTestClient::typedText(got), "\xC3\xA9");
  fresh.reset();
  got = until([](const Events& e) {
    return std::any_of(e.begin(), e.end(), [](const auto& e) { return e.type == Type::button && !e.pressed; });
  });
  EXPECT_TRUE(std::any_of(got.begin(), got.end(), [](const auto& e) {
    return e.type == Type::button && e.code == BTN_LEFT && !e.pressed;
  })) << "the button stays down after its sink is gone";
}

TEST(WlrEventSinkOpen, UnreachableCompositorGivesNoSink) {
  EXPECT_EQ(wayland::openWlrEventSink("quorin-no-such-wayland-display"), nullptr);
}

}  // namespace
}  // namespace quorin
