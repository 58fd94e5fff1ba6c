#include "video/screen_capture_manager.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "video/fake_screen.h"
#include "video/recording_sink.h"

namespace quorin {
namespace {

using namespace std::chrono_literals;

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
    screen.change();
    screen.change();
    ASSERT_TRUE(sink.waitFor(3));
    std::this_thread::sleep_for(600ms);
    EXPECT_EQ(sink.count(), 3u) << "changes made meanwhile are taken together";
    EXPECT_EQ(sink.at(0).pts, 0us);
    EXPECT_GT(sink.at(1).pts, sink.at(0).pts);

    // A resolution change: the picture and the view change together, reported once.
    screen.resize({100, 0, 80, 40});
    ASSERT_TRUE(sink.waitFor(4));
    EXPECT_EQ(sink.at(3).width, 80);
    ASSERT_TRUE(views.waitFor(2));
    EXPECT_EQ(views.at(0), std::make_pair(ScreenRect{0, 0, 64, 48}, PictureSize{64, 48}));
    EXPECT_EQ(views.at(1), std::make_pair(ScreenRect{100, 0, 80, 40}, PictureSize{80, 40}));

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
    EXPECT_EQ(views.count(), 3u) << "the new start reported its view once";
  }
}

// A display server that stops answering must not hold up a stop: the stream is cut off.
TEST(ScreenCaptureManagerTest, StopCutsOffAStreamThatHangs) {
  FakeScreen screen;
  RecordingSink sink;
  ScreenCaptureManager manager(sink);
  manager.start(screen.openStream(), 30);
  ASSERT_TRUE(sink.waitFor(1));
  screen.hangs = true;
  screen.change();
  while (screen.grabs < 2) std::this_thread::sleep_for(10ms);  // the second grab hangs
  manager.stop();
  EXPECT_EQ(screen.abandoned, 1);
}

}  // namespace
}  // namespace quorin
