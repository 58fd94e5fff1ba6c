#include "input/input_injector.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "input/recording_event_sink.h"

namespace quorin {
namespace {

using Kind = InputEvent::Kind;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Names = std::vector<std::string>;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();

class InputInjectorTest : public ::testing::Test {
 protected:
  InputInjectorTest() {
    auto sink = std::make_unique<RecordingEventSink>();
    sink_ = sink.get();
    injector_ = std::make_unique<InputInjector>(std::move(sink));
  }

  // What one event posts.
  std::vector<std::string> post(const InputEvent& event) {
    sink_->posted.clear();
    injector_->handle(event);
    return sink_->posted;
  }
  std::vector<std::string> at(Kind kind, std::optional<double> x = {}, std::optional<double> y = {}) {
    InputEvent event;
    event.kind = kind, event.x = x, event.y = y;
    return post(event);
  }
  std::vector<std::string> scroll(std::optional<double> dx, std::optional<double> dy) {
    InputEvent event;
    event.kind = Kind::scroll, event.dx = dx, event.dy = dy;
    return post(event);
  }
  std::vector<std::string> text(std::optional<std::string> text, std::optional<Names> modifiers = {}) {
    InputEvent event;
    event.kind = Kind::keyText, event.text = text, event.modifiers = modifiers;
    return post(event);
  }
  std::vector<std::string> key(std::optional<std::string> key, std::optional<Names> modifiers = {}) {
    InputEvent event;
    event.kind = Kind::keySpecial, event.specialKey = key, event.modifiers = modifiers;
    return post(event);
  }

  RecordingEventSink* sink_;
  std::unique_ptr<InputInjector> injector_;
};

TEST_F(InputInjectorTest, PointerKindsPostTheirSequenceAtOneMappedPoint) {
  EXPECT_THAT(at(Kind::mouseMove, 0.5, 0.5), ElementsAre("move 720,450"));
  EXPECT_EQ(injector_->lastMouse(), (ScreenPoint{720, 450}));
  // A missing coordinate, or one that is not finite, repeats the last position on its axis.
  EXPECT_THAT(at(Kind::leftClick), ElementsAre("move 720,450", "down left", "up left"));
  EXPECT_THAT(at(Kind::rightClick, 0.25, kNaN), ElementsAre("move 360,450", "down right", "up right"));
  EXPECT_THAT(at(Kind::doubleClick, kInfinity, 1),
              ElementsAre("move 360,900", "down left", "up left", "down left", "up left"));
  EXPECT_THAT(at(Kind::mouseDown, 0.1), ElementsAre("move 144,900", "down left"));
  EXPECT_THAT(at(Kind::mouseUp, {}, 0.2), ElementsAre("move 144,180", "up left"));
  EXPECT_EQ(sink_->finishes, 6);
}

TEST_F(InputInjectorTest, PositionsFollowTheSharedMonitorWhereverItSits) {
  sink_->frame = ScreenRect{1920, 200, 1280, 1024};
  EXPECT_THAT(at(Kind::mouseMove, 0.5, 0.5), ElementsAre("move 2560,712"));
  EXPECT_THAT(at(Kind::mouseMove, {}, 0), ElementsAre("move 2560,200"));
  // Fractions outside 0..1 reach outside the screen; absurd ones stay representable.
  EXPECT_THAT(at(Kind::mouseMove, -0.5, 2), ElementsAre("move 1280,2248"));
  EXPECT_EQ(at(Kind::mouseMove, 1e300, -1e300).size(), 1u);
  // No screen known: the 1920 x 1080 rectangle at the origin.
  sink_->frame.reset();
  EXPECT_THAT(at(Kind::mouseMove, 1, 1), ElementsAre("move 1920,1080"));
  EXPECT_EQ(injector_->lastMouse(), (ScreenPoint{1920, 1080}));
}

TEST_F(InputInjectorTest, ScrollTurnsRoundedPixelsIntoWheelClicksCarryingTheRest) {
  at(Kind::mouseMove, 0.5, 0.5);
  EXPECT_THAT(scroll({}, 100), ElementsAre("down wheelUp", "up wheelUp", "down wheelUp", "up wheelUp"));
  EXPECT_THAT(scroll(-50, 50), ElementsAre("down wheelUp", "up wheelUp", "down wheelRight", "up wheelRight"));
  EXPECT_EQ(injector_->lastMouse(), (ScreenPoint{720, 450}));

  for (int i = 0; i < 4; ++i) EXPECT_THAT(scroll({}, -12), IsEmpty());
  EXPECT_THAT(scroll({}, -2.5), ElementsAre("down wheelDown", "up wheelDown"));  // -51
  EXPECT_THAT(scroll({}, -48), IsEmpty());
  EXPECT_THAT(scroll({}, -1), ElementsAre("down wheelDown", "up wheelDown"));
  // Halves round away from zero: 24.5 twice is 50 pixels; under half a pixel is nothing.
  EXPECT_THAT(scroll(24.5, {}), IsEmpty());
  EXPECT_THAT(scroll(24.5, {}), ElementsAre("down wheelLeft", "up wheelLeft"));
  for (int i = 0; i < 200; ++i) scroll(0.49, {});
  EXPECT_THAT(scroll(49, {}), IsEmpty());
  // Turning back does not first pay off what was pending the other way.
  EXPECT_THAT(scroll(-10, {}), IsEmpty());
  EXPECT_THAT(scroll(-40, {}), ElementsAre("down wheelRight", "up wheelRight"));
}

TEST_F(InputInjectorTest, HugeOrNonFiniteScrollIsBoundedOrIgnored) {
  EXPECT_THAT(scroll(kNaN, kInfinity), IsEmpty());
  EXPECT_THAT(scroll(-kInfinity, {}), IsEmpty());
  EXPECT_EQ(scroll({}, 1e300).size(), 2u * InputInjector::kMaxWheelClicksPerEvent);
  EXPECT_EQ(scroll(-3e9, {}).size(), 2u * InputInjector::kMaxWheelClicksPerEvent);
  // What was cut off is not carried into later events.
  EXPECT_THAT(scroll(-1, 1), IsEmpty());
}

TEST_F(InputInjectorTest, KeysCarryTheirModifiersInAnyLetterCase) {
  EXPECT_THAT(key("return", Names{"CMD"}), ElementsAre("key return +command"));
  EXPECT_THAT(key("f12", Names{"Alt", "control", "SHIFT", "fn"}),
              ElementsAre("key f12 +shift +control +option"));
  EXPECT_THAT(key("pageDown", Names{"Command", "oPtIoN", "ctrl"}),
              ElementsAre("key pageDown +command +control +option"));
  EXPECT_THAT(key("delete"), ElementsAre("key delete"));
  EXPECT_THAT(key("returnKey", Names{"cmd"}), IsEmpty());
  EXPECT_THAT(key("Return"), IsEmpty());
  EXPECT_THAT(key(std::nullopt), IsEmpty());
}

TEST_F(InputInjectorTest, TextIsTypedAsUnicodeScalarsUnderItsModifiers) {
  EXPECT_THAT(text("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xE4\xB8\xAD", Names{"ctrl"}),
              ElementsAre("text U+0061 U+00E9 U+20AC U+1F600 U+4E2D +control"));
  EXPECT_THAT(text("e\xCC\x81"), ElementsAre("text U+0065 U+0301"));  // combining: two scalars
  // Every kind of line break is one line feed.
  EXPECT_THAT(text("a\r\nb\rc\n\td"),
              ElementsAre("text U+0061 U+000A U+0062 U+000A U+0063 U+000A U+0009 U+0064"));
  // Stray continuation, overlong '/', encoded surrogate, beyond U+10FFFF, truncated sequence.
  EXPECT_THAT(text("\x80" "a\xC0\xAF" "b\xED\xA0\x80" "c\xF4\x90\x80\x80" "d\xE2\x82"),
              ElementsAre("text U+0061 U+0062 U+0063 U+0064"));
  EXPECT_THAT(text("\xFF\xFE", Names{"cmd"}), IsEmpty());
  EXPECT_THAT(text("", Names{"shift"}), IsEmpty());
  EXPECT_THAT(text(std::nullopt), IsEmpty());
}

}  // namespace
}  // namespace quorin
