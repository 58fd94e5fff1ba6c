#include "video/screen_capture_manager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <future>
#include <thread>

#include "video/fake_screen.h"
#include "video/recording_sink.h"

namespace quorin {
namespace {

using namespace std::chrono_literals;

// Waits for a condition that another thread makes true; false if it never does (a hang).
bool eventually(const std::function<bool()>& done) {
  for (auto limit = std::chrono::steady_clock::now() + 10s; !done();) {
    if (std::chrono::steady_clock::now() > limit) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// Both for a stream that wakes capture on a change and for one that is polled.
TEST(ScreenCaptureManagerTest, ChangesGoOutTakenTogetherTimedFromEachStartUntilTheEnd) {
  for (const bool reportsChanges : {true, false}) {
    SCOPED_TRACE(reportsChanges ? "woken" : "polled");
    FakeScreen screen;
    screen.reportsChanges = reportsChanges;
    RecordingSink sink;
    ScreenCaptureManager manager(sink);
    std::promise<CaptureError> ended;  // a second report would throw
    manager.setEndHandler([&](const CaptureError& error) { ended.set_value(error); });
    Recorder<std::pair<ScreenRect, PictureSize>> views;
    manager.setChangeHandler([&](const ScreenRect& area, PictureSize picture) { views.add({area, picture}); });
    manager.stop();  // before any start
    manager.start(screen.openStream(), 2);
    ASSERT_TRUE(sink.waitFor(1));
    std::this_thread::sleep_for(700ms);
    EXPECT_EQ(sink.count(), 1u) << "idle grabs deliver nothing";

    screen.change();
    ASSERT_TRUE(sink.waitFor(2));
    // The second change is made while the grab of the first is still under way.
    screen.hangs = true;
    const int before = screen.grabs;
    screen.draw({1, 2, 3, 4});
    ASSERT_TRUE(eventually([&] { return screen.grabs > before; }));
    screen.draw({60, 40, 10, 10});
    screen.resume();
    ASSERT_TRUE(sink.waitFor(3));
    std::this_thread::sleep_for(600ms);
    EXPECT_EQ(sink.count(), 3u) << "changes made meanwhile are taken together";
    EXPECT_EQ(sink.at(0).pts, 0us);
    EXPECT_GT(sink.at(1).pts, sink.at(0).pts);
    EXPECT_TRUE(sink.at(0).changed.everything);
    EXPECT_FALSE(sink.at(2).changed.everything);
    EXPECT_EQ(sink.at(2).changed.rects, (std::vector<ScreenRect>{{1, 2, 3, 4}, {60, 40, 4, 8}}))
        << "both places, clipped to the picture";

    // A resolution change: the picture and the view change together, reported once.
    screen.resize({100, 0, 80, 40});
    ASSERT_TRUE(sink.waitFor(4));
    EXPECT_EQ(sink.at(3).width, 80);
    ASSERT_TRUE(views.waitFor(2));
    EXPECT_EQ(views.at(0), std::make_pair(ScreenRect{0, 0, 64, 48}, PictureSize{64, 48}));
    EXPECT_EQ(views.at(1), std::make_pair(ScreenRect{100, 0, 80, 40}, PictureSize{80, 40}));
    // Another monitor shown before any picture of it: input must follow at once, not with a
    // picture that an idle compositor may never send.
    screen.move({180, 0, 80, 40});
    ASSERT_TRUE(views.waitFor(3));
    EXPECT_EQ(views.at(2), std::make_pair(ScreenRect{180, 0, 80, 40}, PictureSize{80, 40}));
    EXPECT_EQ(sink.count(), 4u) << "no picture for a move alone";

    manager.stop();
    screen.change();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(sink.count(), 4u) << "nothing after stop";
    manager.start(screen.openStream(), 2);
    ASSERT_TRUE(sink.waitFor(5));
    EXPECT_EQ(sink.at(4).pts, 0us) << "a new start counts from 0 again";

    const CaptureError gone{"PipeWire", 3, "Screen sharing was stopped"};
    screen.change(gone);
    auto report = ended.get_future();
    ASSERT_EQ(report.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(report.get(), gone);
    const int grabs = screen.grabs;
    screen.change();
    std::this_thread::sleep_for(600ms);
    EXPECT_EQ(screen.grabs, grabs) << "capture stopped";
    EXPECT_EQ(views.count(), 4u) << "the new start reported its view once";
  }
}

// A still picture is refined slot after slot for as long as the encoder asks (queued or
// pending), never beyond a bound, then capture rests; a change made during a refinement is
// the next thing encoded.
TEST(ScreenCaptureManagerTest, RefinesAStillPictureWhileTheEncoderAsksWithinABoundAndTakesAChangeAtOnce) {
  using enum ImageSink::Refinement;
  constexpr std::size_t kBound = ScreenCaptureManager::kRefinementSlots;
  FakeScreen screen;
  RecordingSink sink;
  std::size_t picture = 0;  // the capture thread's: which picture refine() is about
  std::size_t asked = 0;    // for that picture
  sink.answer = [&] {
    if (std::exchange(picture, sink.count()) != sink.count()) asked = 0;
    ++asked;
    switch (picture) {
      case 1:  // three refinements, then one encode still under way, then sharp
        return asked <= 3 ? kQueued : asked == 4 ? kPending : kDone;
      case 2:  // changes again during its third refinement
        if (asked == 3) screen.change();
        return kQueued;
      default:  // never sharp
        return kQueued;
    }
  };
  ScreenCaptureManager manager(sink);
  manager.start(screen.openStream(), 50);
  ASSERT_TRUE(sink.refinements.waitFor(5));
  const int grabs = screen.grabs;
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(sink.refinements.count(), 5u) << "done is done";
  EXPECT_EQ(screen.grabs, grabs) << "a still screen is not even grabbed";

  screen.change();
  ASSERT_TRUE(sink.waitFor(3));
  ASSERT_TRUE(sink.refinements.waitFor(5 + 3 + kBound));
  std::this_thread::sleep_for(300ms);
  manager.stop();
  ASSERT_EQ(sink.count(), 3u);
  std::vector<std::size_t> after(3);  // refinements after each picture, until the next one
  for (std::size_t i = 0; i < sink.refinements.count(); ++i) {
    const auto pts = sink.refinements.at(i);
    ++after[pts > sink.at(2).pts ? 2 : pts > sink.at(1).pts ? 1 : 0];
  }
  EXPECT_EQ(after, (std::vector<std::size_t>{5, 3, kBound}));
}

// Capture of a fake screen, started and past its first picture.
class StartedScreenCaptureTest : public testing::Test {
 protected:
  void start(int fps) {
    manager.start(screen.openStream(), fps);
    ASSERT_TRUE(sink.waitFor(1));
  }

  FakeScreen screen;
  RecordingSink sink;
  ScreenCaptureManager manager{sink};
};

// A look at the monitors that finds nothing is not a slot: the change after it is grabbed as
// it comes, not an interval later.
TEST_F(StartedScreenCaptureTest, ALookThatFindsNothingDoesNotHoldBackTheNextChange) {
  ASSERT_NO_FATAL_FAILURE(start(1));
  screen.change();
  ASSERT_TRUE(sink.waitFor(2));
  const int grabs = screen.grabs;
  screen.look();
  ASSERT_TRUE(eventually([&] { return screen.grabs > grabs; }));
  screen.change();
  ASSERT_TRUE(sink.waitFor(3));
  manager.stop();
  // The second picture's slot ends a second after it; the look must not have taken the next.
  EXPECT_LT(sink.at(2).pts - sink.at(1).pts, 1s);
}

// A display server that stops answering must not hold up a stop: the stream is cut off.
TEST_F(StartedScreenCaptureTest, StopCutsOffAStreamThatHangs) {
  ASSERT_NO_FATAL_FAILURE(start(30));
  screen.hangs = true;
  screen.change();
  ASSERT_TRUE(eventually([&] { return screen.grabs >= 2; }));  // the second grab hangs
  manager.stop();
  EXPECT_EQ(screen.abandoned, 1);
}

}  // namespace
}  // namespace quorin
