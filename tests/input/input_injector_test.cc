#include "input/input_injector.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <limits>

#include "input/input_events.h"
#include "input/recording_event_sink.h"

namespace quorin {
namespace {

using Kind = InputEvent::Kind;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Names = std::optional<std::vector<std::string>>;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();

class InputInjectorTest : public ::testing::Test {
 protected:
  // What one event posts.
  std::vector<std::string> post(Kind kind, std::optional<double> x = {}, std::optional<double> y = {}) {
    return post(pointerEvent(kind, x, y));
  }
  std::vector<std::string> post(Kind kind, std::optional<std::string> text, Names modifiers = {}) {
    return post(inputEvent(kind, std::move(text), std::move(modifiers)));
  }
  std::vector<std::string> post(const InputEvent& event) {
    sink_->posted.clear();
    injector_.handle(event);
    return sink_->posted;
  }

  RecordingEventSink* sink_ = new RecordingEventSink;
  InputInjector injector_{std::unique_ptr<EventSink>(sink_)};
};

TEST_F(InputInjectorTest, PointerKindsPostTheirSequenceAtOneMappedPoint) {
  EXPECT_THAT(post(Kind::mouseMove, 0.5, 0.5), ElementsAre("move 720,450"));
  // A missing coordinate, or one that is not finite, repeats the last position on its axis.
  EXPECT_THAT(post(Kind::leftClick), ElementsAre("move 720,450", "down left", "up left"));
  EXPECT_THAT(post(Kind::rightClick, 0.25, kNaN), ElementsAre("move 360,450", "down right", "up right"));
  EXPECT_THAT(post(Kind::doubleClick, kInfinity, 1),
              ElementsAre("move 360,899", "down left", "up left", "down left", "up left"));
  EXPECT_THAT(post(Kind::mouseUp, {}, 0.2), ElementsAre("move 360,180", "up left"));
  EXPECT_EQ(sink_->finishes, 5);

  // A second monitor: a repeated axis from the first one lands on its nearest edge, and
  // fractions outside 0..1 stay on the monitor the client sees, absurd ones included.
  sink_->frame = ScreenRect{1920, 200, 1280, 1024};
  EXPECT_THAT(post(Kind::mouseMove, {}, 0), ElementsAre("move 1920,200"));
  EXPECT_THAT(post(Kind::mouseMove, -0.5, 2), ElementsAre("move 1920,1223"));
  EXPECT_EQ(post(Kind::mouseMove, 1e300, -1e300).size(), 1u);
  sink_->frame.reset();  // no screen known: 1920 x 1080 at the origin
  EXPECT_THAT(post(Kind::mouseMove, 1, 1), ElementsAre("move 1919,1079"));
  EXPECT_EQ(injector_.lastMouse(), (ScreenPoint{1919, 1079}));
}

// Two monitors side by side: a tap on the far edge of the stream stays on the monitor shown,
// with a geometry set and in the fallback on the sink's frame before there is one.
TEST_F(InputInjectorTest, FarEdgesLandOnTheLastPixelOfTheMonitorShown) {
  sink_->frame = ScreenRect{0, 0, 1920, 1080};
  EXPECT_THAT(post(Kind::leftClick, 1, 1), ElementsAre("move 1919,1079", "down left", "up left"));
  EXPECT_THAT(post(Kind::mouseMove, 0.99995, 0.5), ElementsAre("move 1919,540"));
  injector_.setGeometry({{1920, 0, 1280, 1024}, {1280, 1024}, {1280, 1024}});
  EXPECT_THAT(post(Kind::mouseMove, 1, 1), ElementsAre("move 3199,1023"));
  EXPECT_THAT(post(Kind::mouseMove, 0, 0), ElementsAre("move 1920,0"));
  // A missing coordinate repeats the last column, not one beyond it.
  EXPECT_THAT(post(Kind::mouseMove, 1, {}), ElementsAre("move 3199,0"));
  EXPECT_THAT(post(Kind::mouseMove, {}, 1), ElementsAre("move 3199,1023"));
}

TEST_F(InputInjectorTest, ReleaseAllLetsGoOfAButtonLeftHeldOnly) {
  injector_.releaseAll();
  post(Kind::mouseDown, 0.5, 0.5);
  for (int i = 0; i < 2; ++i) injector_.releaseAll();
  EXPECT_THAT(sink_->posted, ElementsAre("move 720,450", "down left", "up left"));
  EXPECT_EQ(sink_->finishes, 2);
}

TEST_F(InputInjectorTest, ScrollTurnsRoundedPixelsIntoBoundedWheelClicksCarryingTheRest) {
  EXPECT_THAT(post(Kind::scroll, -50, 100),
              ElementsAre("down wheelUp", "up wheelUp", "down wheelUp", "up wheelUp", "down wheelRight",
                          "up wheelRight"));
  for (int i = 0; i < 4; ++i) EXPECT_THAT(post(Kind::scroll, {}, -12), IsEmpty());
  EXPECT_THAT(post(Kind::scroll, {}, -2.5), ElementsAre("down wheelDown", "up wheelDown"));  // -51
  // Halves round away from zero; turning back does not first pay off the other way.
  EXPECT_THAT(post(Kind::scroll, 24.5, {}), IsEmpty());
  EXPECT_THAT(post(Kind::scroll, 24.5, {}), ElementsAre("down wheelLeft", "up wheelLeft"));
  EXPECT_THAT(post(Kind::scroll, 49, {}), IsEmpty());
  EXPECT_THAT(post(Kind::scroll, -50, {}), ElementsAre("down wheelRight", "up wheelRight"));
  // Non-finite is nothing; huge is cut off and not carried into later events.
  EXPECT_THAT(post(Kind::scroll, kNaN, -kInfinity), IsEmpty());
  EXPECT_EQ(post(Kind::scroll, -3e9, 1e300).size(), 4u * InputInjector::kMaxWheelClicksPerEvent);
  EXPECT_THAT(post(Kind::scroll, -1, 1), IsEmpty());
  EXPECT_EQ(injector_.lastMouse(), (ScreenPoint{}));
}

TEST_F(InputInjectorTest, KeysCarryTheirModifiersWithCommandAsControl) {
  EXPECT_THAT(post(Kind::keySpecial, "return", Names{{"CMD"}}), ElementsAre("key return +control"));
  EXPECT_THAT(post(Kind::keySpecial, "f12", Names{{"Alt", "SHIFT", "fn"}}),
              ElementsAre("key f12 +shift +option"));
  EXPECT_THAT(post(Kind::keyText, "c", Names{{"Command", "oPtIoN", "ctrl"}}),
              ElementsAre("text U+0063 +control +option"));
  EXPECT_THAT(post(Kind::keySpecial, "returnKey"), IsEmpty());
  EXPECT_THAT(post(Kind::keySpecial, std::optional<std::string>()), IsEmpty());
}

TEST_F(InputInjectorTest, TextIsTypedAsWellFormedUnicodeScalars) {
  EXPECT_THAT(post(Kind::keyText, "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80" "e\xCC\x81"),
              ElementsAre("text U+0061 U+00E9 U+20AC U+1F600 U+0065 U+0301"));
  // Every kind of line break is one line feed.
  EXPECT_THAT(post(Kind::keyText, "a\r\nb\rc\n\td"),
              ElementsAre("text U+0061 U+000A U+0062 U+000A U+0063 U+000A U+0009 U+0064"));
  // Stray continuation, overlong '/', encoded surrogate, beyond U+10FFFF, truncated sequence.
  EXPECT_THAT(post(Kind::keyText, "\x80" "a\xC0\xAF" "b\xED\xA0\x80" "c\xF4\x90\x80\x80" "d\xE2\x82"),
              ElementsAre("text U+0061 U+0062 U+0063 U+0064"));
  EXPECT_THAT(post(Kind::keyText, "\xFF\xFE"), IsEmpty());
  EXPECT_THAT(post(Kind::keyText, std::optional<std::string>()), IsEmpty());
}

}  // namespace
}  // namespace quorin
