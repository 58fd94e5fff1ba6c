#include "video/screen_capture_manager.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "video/fake_display_capturer.h"
#include "video/recording_sink.h"

namespace quorin {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Both for a stream that wakes capture on a change and for one that is polled.
TEST(ScreenCaptureManagerTest, ChangesGoOutOncePerFrameAtMostTimedFromEachGoodStartUntilTheEnd) {
  for (const bool reportsChanges : {true, false}) {
    SCOPED_TRACE(reportsChanges ? "woken" : "polled");
    FakeDisplayCapturer capturer;
    capturer.reportsChanges = reportsChanges;
    RecordingSink sink;
    ScreenCaptureManager manager(sink, capturer);
    std::promise<CaptureError> ended;  // a second report would throw
    manager.setEndHandler([&](const CaptureError& error) { ended.set_value(error); });
    manager.stop();  // before any start
    capturer.openError = CaptureError{"X11", 2, "The X server has no MIT-SHM extension"};
    EXPECT_EQ(manager.start(2), capturer.openError);
    EXPECT_EQ(capturer.grabs, 0);
    capturer.openError.reset();
    ASSERT_EQ(manager.start(2), std::nullopt);
    ASSERT_TRUE(sink.waitFor(1));
    capturer.content.displays.clear();
    EXPECT_TRUE(manager.start(2)) << "fails, and leaves the running capture as it was";
    capturer.content.displays = {ScreenRect{0, 0, 64, 48}};
    std::this_thread::sleep_for(700ms);
    EXPECT_EQ(sink.count(), 1u) << "idle grabs deliver nothing";

    const auto changedAt = Clock::now();
    capturer.change();
    ASSERT_TRUE(sink.waitFor(2));
    EXPECT_LT(Clock::now() - changedAt, reportsChanges ? 150ms : 600ms) << "not held until a tick";
    // The second picture came late against the frame grid: the third may come half a frame
    // early, not a whole frame after it.
    const auto secondAt = Clock::now();
    capturer.change();
    capturer.change();
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(sink.count(), 2u) << "not sooner than the frame rate allows";
    ASSERT_TRUE(sink.waitFor(3));
    EXPECT_LT(Clock::now() - secondAt, reportsChanges ? 420ms : 600ms);
    std::this_thread::sleep_for(600ms);
    EXPECT_EQ(sink.count(), 3u) << "changes made meanwhile are taken together";
    EXPECT_EQ(sink.at(0).pts, 0us);
    EXPECT_GE(sink.at(1).pts, 700ms);
    EXPECT_LT(sink.at(1).pts, 2s);

    const auto stopping = Clock::now();
    manager.stop();
    EXPECT_LT(Clock::now() - stopping, 200ms) << "stop() cuts a wait short";
    capturer.change();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(sink.count(), 3u) << "nothing after stop";
    ASSERT_EQ(manager.start(2), std::nullopt);
    ASSERT_TRUE(sink.waitFor(4));
    EXPECT_EQ(sink.at(3).pts, 0us) << "a new start counts from 0 again";

    const CaptureError gone{"PipeWire", 3, "Screen sharing was stopped"};
    capturer.change(gone);
    auto report = ended.get_future();
    ASSERT_EQ(report.wait_for(2s), std::future_status::ready);
    EXPECT_EQ(report.get(), gone);
    const int grabs = capturer.grabs;
    capturer.change();
    std::this_thread::sleep_for(600ms);
    EXPECT_EQ(capturer.grabs, grabs) << "capture stopped";
    EXPECT_EQ(sink.count(), 4u);
  }
}

}  // namespace
}  // namespace quorin
