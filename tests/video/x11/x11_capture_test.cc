// Capture of a real X server (Xvfb in CI): what a client paints is what the encoder receives.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>

#include "fakes/require_service.h"
#include "video/recording_sink.h"
#include "video/screen_capture_manager.h"
#include "video/x11/x11_display_capturer.h"

// Last: Xlib's macros (None, Bool) would clash with the headers above.
#include <X11/Xlib.h>

namespace quorin {
namespace {

using namespace std::chrono_literals;

constexpr unsigned long kBackground = 0x123456;
constexpr unsigned long kCursorGreen = 0x00FF00;
constexpr int kCursorSize = 16;

// Another X client: a full-screen window in one colour whose pointer is a green square with
// its hotspot at the top-left corner.
class Painter {
 public:
  Painter() : display_(XOpenDisplay(nullptr)) {
    if (!display_) return;
    const int screen = DefaultScreen(display_);
    width_ = DisplayWidth(display_, screen);
    height_ = DisplayHeight(display_, screen);
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    window_ = XCreateWindow(display_, DefaultRootWindow(display_), 0, 0, width_, height_, 0,
                            CopyFromParent, InputOutput, CopyFromParent, CWOverrideRedirect,
                            &attributes);
    gc_ = XCreateGC(display_, window_, 0, nullptr);

    const Pixmap bits = XCreatePixmap(display_, window_, kCursorSize, kCursorSize, 1);
    GC bitsGc = XCreateGC(display_, bits, 0, nullptr);
    XSetForeground(display_, bitsGc, 1);
    XFillRectangle(display_, bits, bitsGc, 0, 0, kCursorSize, kCursorSize);
    XColor green{};
    green.green = 0xFFFF;
    XColor black{};
    XDefineCursor(display_, window_, XCreatePixmapCursor(display_, bits, bits, &green, &black, 0, 0));
    XFreeGC(display_, bitsGc);
    XFreePixmap(display_, bits);

    XMapRaised(display_, window_);
    fill(0, 0, width_, height_, kBackground);
  }
  ~Painter() {
    if (display_) XCloseDisplay(display_);
  }

  bool connected() const { return display_ != nullptr; }
  int width() const { return width_; }
  int height() const { return height_; }

  void fill(int x, int y, int w, int h, unsigned long rgb) {
    XSetForeground(display_, gc_, rgb);
    XFillRectangle(display_, window_, gc_, x, y, w, h);
    XSync(display_, False);
  }
  void movePointer(int x, int y) {
    XWarpPointer(display_, None, DefaultRootWindow(display_), 0, 0, 0, 0, x, y);
    XSync(display_, False);
  }

 private:
  Display* display_;
  int width_ = 0;
  int height_ = 0;
  Window window_ = 0;
  GC gc_ = nullptr;
};

class X11CaptureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QUORIN_REQUIRE(painter_.connected(), "no X display reachable; run under Xvfb (scripts/test starts one)");
  }

  Painter painter_;
  X11DisplayCapturer capturer_;
  RecordingSink sink_;
};

TEST_F(X11CaptureTest, CapturesWhatIsPaintedOnlyWhenSomethingChanges) {
  painter_.movePointer(600, 300);
  ScreenCaptureManager manager(sink_, capturer_);
  ASSERT_EQ(manager.start(60), std::nullopt);
  ASSERT_TRUE(sink_.waitFor(1));
  const auto first = sink_.at(0);
  const ScreenRect display = capturer_.shareableContent().displays.at(0);
  ASSERT_EQ(first.width, display.width);
  ASSERT_EQ(first.height, display.height);
  EXPECT_EQ(first.at(first.width - 1, first.height - 1), kBackground);
  EXPECT_EQ(first.at(600, 300), kCursorGreen);
  EXPECT_EQ(first.at(600 + kCursorSize - 1, 300 + kCursorSize - 1), kCursorGreen);
  EXPECT_EQ(first.at(600 + kCursorSize, 300), kBackground);
  EXPECT_EQ(first.at(599, 300), kBackground);

  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(sink_.count(), 1u) << "nothing changed after the first picture";
  // Changes are taken as they come: far sooner than the second an idle capture waits.
  auto changedAt = std::chrono::steady_clock::now();
  painter_.fill(100, 100, 50, 50, 0xFFFFFF);
  ASSERT_TRUE(sink_.waitFor(2));
  EXPECT_LT(std::chrono::steady_clock::now() - changedAt, 250ms);
  std::this_thread::sleep_for(100ms);
  ASSERT_EQ(sink_.count(), 2u);
  const auto square = sink_.at(1);
  EXPECT_EQ(square.at(100, 100), 0xFFFFFFu);
  EXPECT_EQ(square.at(150, 120), kBackground);
  EXPECT_EQ(square.at(120, 99), kBackground);
  EXPECT_GE(square.pts, 300ms);

  changedAt = std::chrono::steady_clock::now();
  painter_.movePointer(700, 400);
  ASSERT_TRUE(sink_.waitFor(3)) << "a pointer move alone is a change";
  EXPECT_LT(std::chrono::steady_clock::now() - changedAt, 250ms);
  const auto moved = sink_.at(2);
  EXPECT_EQ(moved.at(700, 400), kCursorGreen);
  EXPECT_EQ(moved.at(600, 300), kBackground) << "the old pointer position shows the screen again";
  EXPECT_EQ(moved.at(120, 120), 0xFFFFFFu);
}

TEST_F(X11CaptureTest, AGrabBeyondTheScreenFailsWithoutEndingTheProcess) {
  CaptureError error;
  auto stream = capturer_.openStream({painter_.width() - 10, 0, 200, 200}, error);
  ASSERT_TRUE(stream) << error.description;
  EXPECT_EQ(stream->grab(true), nullptr);
  EXPECT_EQ(stream->grab(true), nullptr);
}

TEST(X11CaptureWithoutServerTest, AnUnreachableDisplayIsReported) {
  X11DisplayCapturer nowhere(":4999");
  RecordingSink sink;
  ScreenCaptureManager manager(sink, nowhere);
  const CaptureError unreachable{"X11", 1, "Cannot open the X display \":4999\""};
  EXPECT_EQ(manager.start(60), unreachable);
  EXPECT_EQ(nowhere.shareableContent().error, unreachable);
}

}  // namespace
}  // namespace quorin
