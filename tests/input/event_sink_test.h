#pragma once
// What the tests of the real event sinks share: a test client's window covers the sink's whole
// screen and records what reaches it, and every sink must pass the same pointer and modifier
// scenarios there.

#include <gtest/gtest.h>
#include <linux/input-event-codes.h>
#include <xkbcommon/xkbcommon-keysyms.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "input/input_events.h"
#include "input/input_injector.h"
#include "input/input_recorder.h"

namespace quorin {

class EventSinkTest : public ::testing::Test {
 protected:
  using Kind = InputEvent::Kind;
  using Type = ReceivedEvent::Type;
  using Events = std::vector<ReceivedEvent>;

  static bool endsAt(const Events& got, std::pair<double, double> at) {
    return !got.empty() && got.back().type == Type::motion && std::pair(got.back().x, got.back().y) == at;
  }

  // Takes over `sink`, whose screen `window` (`width` x `height`) covers, and waits until the
  // window sees the pointer where the sink puts it. The pointer starts where an earlier test
  // left it, and mutter zooms a new window in, so it moves back and forth until then.
  void start(std::unique_ptr<EventSink> sink, InputRecorder& window, int width, int height) {
    sink_ = sink.get();
    window_ = &window;
    injector_ = std::make_unique<InputInjector>(std::move(sink));
    ASSERT_TRUE(sink_->screenFrame());
    frame_ = *sink_->screenFrame();
    ASSERT_EQ(std::make_pair(frame_.width, frame_.height), std::make_pair(width, height));
    bool home = false;
    for (int i = 0; i < 100 && !home; ++i) {
      const double f = 0.1 + 0.1 * (i % 2);
      injector_->handle(pointerEvent(Kind::mouseMove, f, f));
      home = window.waitFor([&](const auto& got) { return endsAt(got, pixel(f, f)); }, std::chrono::milliseconds(100));
    }
    ASSERT_TRUE(home) << "the pointer never reached the window exactly";
    window.take();
  }

  // Where fractions of the screen are in the window.
  std::pair<double, double> pixel(double x, double y) const {
    return {std::lround(x * frame_.width), std::lround(y * frame_.height)};
  }

  Events until(const std::function<bool(const Events&)>& done) {
    EXPECT_TRUE(window_->waitFor(done, std::chrono::seconds(20)));
    return window_->take();
  }
  std::string typed(const std::string& text) {
    injector_->handle(inputEvent(Kind::keyText, text));
    return InputRecorder::typedText(until([&](const Events& got) { return InputRecorder::typedText(got) == text; }));
  }

  // The pointer reaches exact pixels, the far corner among them (an extent off by one), and
  // buttons and wheel steps follow it there. `wheelLengths`: each step also comes as a length.
  void pointerScenario(bool wheelLengths) {
    sink_->movePointer(frame_.x + frame_.width - 1, frame_.y + frame_.height - 1);
    sink_->finish();
    until([&](const Events& got) { return endsAt(got, {frame_.width - 1, frame_.height - 1}); });

    injector_->handle(pointerEvent(Kind::mouseMove, 0.25, 0.75));
    for (const Kind kind : {Kind::leftClick, Kind::rightClick, Kind::doubleClick}) injector_->handle(inputEvent(kind));
    const std::pair<double, double> scrolls[] = {{0, 50}, {0, -50}, {50, 0}, {-50, 0}};
    for (const auto& [dx, dy] : scrolls) injector_->handle(pointerEvent(Kind::scroll, dx, dy));
    // Buttons as evdev code and v (down) or ^ (up), wheel steps and lengths as axis and sign:
    // up and left are negative on a Wayland axis.
    std::string seen, lengths;
    const auto wheel = [](const ReceivedEvent& e) { return e.type == Type::axis || e.type == Type::axisDiscrete; };
    for (const ReceivedEvent& e :
         until([&](const Events& got) { return std::ranges::count_if(got, wheel) == (wheelLengths ? 8 : 4); })) {
      if (e.type == Type::axis) lengths += std::to_string(e.code) + (e.value > 0 ? "+ " : "- ");
      if (e.type != Type::button && e.type != Type::axisDiscrete) continue;
      const char* sign = e.type == Type::button ? (e.pressed ? "v " : "^ ") : e.discrete > 0 ? "+ " : "- ";
      seen += std::to_string(e.code) + sign;
      EXPECT_EQ(std::make_pair(e.x, e.y), pixel(0.25, 0.75));
    }
    static_assert(BTN_LEFT == 272 && BTN_RIGHT == 273);
    EXPECT_EQ(seen, "272v 272^ 273v 273^ 272v 272^ 272v 272^ 0- 0+ 1- 1+ ");
    EXPECT_EQ(lengths, wheelLengths ? "0- 0+ 1- 1+ " : "");
  }

  // Command is Control, so that cmd+C copies; modifiers are held around each key only, and a
  // letter that needs Shift itself does not let go of the Shift the event holds.
  void modifierScenario() {
    injector_->handle(inputEvent(Kind::keySpecial, "return", std::vector<std::string>{"CMD"}));
    injector_->handle(inputEvent(Kind::keyText, "Ab", std::vector<std::string>{"shift", "alt"}));
    injector_->handle(inputEvent(Kind::keyText, "c"));
    std::vector<std::pair<std::uint32_t, unsigned>> presses;  // keysym in lower case, modifiers
    for (const ReceivedEvent& e : until([](const auto& got) { return InputRecorder::typedText(got).ends_with("c"); })) {
      const bool modifierKey = e.keysym >= XKB_KEY_Shift_L && e.keysym <= XKB_KEY_Hyper_R;
      if (e.type == Type::key && e.pressed && !modifierKey) {
        presses.emplace_back(e.keysym < 0x80 ? std::tolower(static_cast<int>(e.keysym)) : e.keysym, e.modifiers);
      }
    }
    const unsigned shiftAlt = kShiftHeld | kAltHeld;
    EXPECT_EQ(presses, (std::vector<std::pair<std::uint32_t, unsigned>>{
                           {XKB_KEY_Return, kControlHeld}, {'a', shiftAlt}, {'b', shiftAlt}, {'c', 0u}}));
  }

  EventSink* sink_ = nullptr;  // owned by the injector
  std::unique_ptr<InputInjector> injector_;
  InputRecorder* window_ = nullptr;
  ScreenRect frame_;
};

}  // namespace quorin
