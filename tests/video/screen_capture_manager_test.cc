#include "video/screen_capture_manager.h"

#include <gtest/gtest.h>

#include <thread>

#include "video/fake_display_capturer.h"
#include "video/recording_sink.h"

namespace quorin {
namespace {

using namespace std::chrono_literals;

TEST(ScreenCaptureManagerTest, FailedStartsReportTheErrorAndLeaveACaptureAsItWas) {
  FakeDisplayCapturer capturer;
  RecordingSink sink;
  ScreenCaptureManager manager(sink, capturer);
  manager.stop();  // before any start

  capturer.content.displays.clear();
  EXPECT_EQ(manager.start(60), (CaptureError{"QuorinRemote", 1, "No display found"}));
  const CaptureError refused{"X11", 1, "Cannot open the X display \":7\""};
  capturer.content.error = refused;
  EXPECT_EQ(manager.start(60), refused);
  capturer.content = {{ScreenRect{0, 0, 64, 48}}, std::nullopt};
  capturer.openError = CaptureError{"X11", 2, "The X server has no MIT-SHM extension"};
  EXPECT_EQ(manager.start(60), capturer.openError);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(capturer.grabs, 0);

  capturer.openError.reset();
  ASSERT_EQ(manager.start(100), std::nullopt);
  ASSERT_TRUE(sink.waitFor(1));
  capturer.content.displays.clear();
  EXPECT_TRUE(manager.start(100));
  capturer.changed = true;
  EXPECT_TRUE(sink.waitFor(2)) << "the running capture goes on";
}

TEST(ScreenCaptureManagerTest, OnlyChangedPicturesGoOutTimedFromTheFirstOfEachStart) {
  FakeDisplayCapturer capturer;
  RecordingSink sink;
  ScreenCaptureManager manager(sink, capturer);
  const auto begin = std::chrono::steady_clock::now();
  ASSERT_EQ(manager.start(50), std::nullopt);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(sink.count(), 1u) << "the first tick delivers, idle ticks do not";

  // A change every 5 ms: still no more ticks than the rate allows.
  for (int i = 0; i < 40; ++i) {
    capturer.changed = true;
    std::this_thread::sleep_for(5ms);
  }
  manager.stop();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  EXPECT_LE(capturer.grabs, seconds * 50 + 2);
  const std::size_t delivered = sink.count();
  ASSERT_GT(delivered, 2u);
  EXPECT_EQ(sink.picture(0).pts, 0us);
  EXPECT_GE(sink.picture(1).pts, 300ms);
  EXPECT_LT(sink.picture(1).pts, 5s);

  capturer.changed = true;
  std::this_thread::sleep_for(60ms);
  EXPECT_EQ(sink.count(), delivered) << "nothing after stop";
  ASSERT_EQ(manager.start(50), std::nullopt);
  ASSERT_TRUE(sink.waitFor(delivered + 1));
  EXPECT_EQ(sink.picture(delivered).pts, 0us) << "a new start counts from 0 again";
}

}  // namespace
}  // namespace quorin
