// Capture of a real X server (Xvfb in CI): what a client paints is what the encoder receives,
// with the pointer drawn in.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <utility>

#include "base/x11/own_x_server.h"
#include "desktop/x11/x11_desktop_environment.h"
#include "fakes/require_service.h"
#include "video/cursor_overlay.h"
#include "video/recording_sink.h"
#include "video/screen_capture_manager.h"
#include "video/x11/x11_display_stream.h"

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
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    const Window root = DefaultRootWindow(display_);
    window_ = XCreateWindow(display_, root, 0, 0, DisplayWidth(display_, DefaultScreen(display_)),
                            DisplayHeight(display_, DefaultScreen(display_)), 0, CopyFromParent, InputOutput,
                            CopyFromParent, CWOverrideRedirect, &attributes);
    gc_ = XCreateGC(display_, window_, 0, nullptr);
    const Pixmap bits = XCreatePixmap(display_, window_, kCursorSize, kCursorSize, 1);
    const GC bitsGc = XCreateGC(display_, bits, 0, nullptr);
    XSetForeground(display_, bitsGc, 1);
    XFillRectangle(display_, bits, bitsGc, 0, 0, kCursorSize, kCursorSize);
    XColor green{0, 0, 0xFFFF, 0, 0, 0};
    XColor black{};
    XDefineCursor(display_, window_, XCreatePixmapCursor(display_, bits, bits, &green, &black, 0, 0));
    XFreeGC(display_, bitsGc);
    XFreePixmap(display_, bits);
    XMapRaised(display_, window_);
    fill(0, 0, 10000, 10000, kBackground);
  }
  ~Painter() {
    if (display_) XCloseDisplay(display_);
  }

  bool connected() const { return display_ != nullptr; }
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
  Window window_ = 0;
  GC gc_ = nullptr;
};

// The picture's colour at each {x, y, rgb}.
void expectColours(const RecordedPicture& picture, std::initializer_list<std::array<unsigned long, 3>> points) {
  for (const auto& [x, y, rgb] : points) EXPECT_EQ(picture.at(int(x), int(y)), rgb) << x << "," << y;
}

// The smallest rectangle that holds every changed one; empty when unknown.
ScreenRect bounds(const ChangedArea& changed) {
  if (changed.everything || changed.rects.empty()) return {};
  int left = INT_MAX, top = INT_MAX, right = INT_MIN, bottom = INT_MIN;
  for (const ScreenRect& r : changed.rects) {
    left = std::min(left, r.x);
    top = std::min(top, r.y);
    right = std::max(right, r.x + r.width);
    bottom = std::max(bottom, r.y + r.height);
  }
  return {left, top, right - left, bottom - top};
}

TEST(X11CaptureTest, CapturesWhatIsPaintedOnlyWhenSomethingChangesAndWhere) {
  Painter painter;
  QUORIN_REQUIRE(painter.connected(), "no X display reachable; run under Xvfb (scripts/test starts one)");
  CaptureError error;
  const std::vector<Monitor> monitors = x11::listDisplayMonitors({}, error);
  ASSERT_FALSE(monitors.empty()) << error.description;
  RecordingSink sink;
  painter.movePointer(600, 300);
  ScreenCaptureManager manager(sink);
  auto stream = x11::openDisplayStream({}, "no such monitor", error);
  ASSERT_TRUE(stream) << error.description;
  manager.start(std::move(stream), 60);
  ASSERT_TRUE(sink.waitFor(1));
  const ScreenRect display = monitors.front().rect;
  ASSERT_EQ(std::pair(sink.at(0).width, sink.at(0).height), std::pair(display.width, display.height))
      << "an unknown monitor name falls back to the primary one";
  EXPECT_TRUE(sink.at(0).changed.everything);
  constexpr unsigned long kEnd = 600 + kCursorSize;  // the pointer covers 600 to kEnd - 1
  expectColours(sink.at(0), {{unsigned(display.width) - 1, unsigned(display.height) - 1, kBackground},
                              {600, 300, kCursorGreen}, {kEnd - 1, 300 + kCursorSize - 1, kCursorGreen},
                              {kEnd, 300, kBackground}, {599, 300, kBackground}});

  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(sink.count(), 1u) << "nothing changed after the first picture";
  painter.fill(100, 100, 50, 50, 0xFFFFFF);
  ASSERT_TRUE(sink.waitFor(2));
  std::this_thread::sleep_for(100ms);
  ASSERT_EQ(sink.count(), 2u);
  expectColours(sink.at(1), {{100, 100, 0xFFFFFF}, {150, 120, kBackground}, {120, 99, kBackground}});
  EXPECT_EQ(bounds(sink.at(1).changed), (ScreenRect{100, 100, 50, 50})) << "the damage of the whole screen";

  painter.movePointer(700, 400);
  ASSERT_TRUE(sink.waitFor(3)) << "a pointer move alone is a change";
  // The old pointer position shows the screen again.
  expectColours(sink.at(2), {{700, 400, kCursorGreen}, {600, 300, kBackground}, {120, 120, 0xFFFFFF}});
  EXPECT_EQ(bounds(sink.at(2).changed), (ScreenRect{600, 300, 100 + kCursorSize, 100 + kCursorSize}))
      << "where the pointer was and where it is";
}

// An X server whose monitors change under a stream (Xvnc; Xvfb cannot change its size): the
// stream follows its monitor, reports the new view, and the pictures take the new size.
TEST(X11CaptureTest, FollowsTheChosenMonitorThroughResolutionChangesAndUnplugging) {
  const char* xvnc = std::getenv("QUORIN_XVNC");
  QUORIN_REQUIRE(xvnc && *xvnc, "no resizable X server (QUORIN_XVNC); scripts/test starts Xvnc");
  const std::string resize = std::string("DISPLAY=") + xvnc + " xrandr -s ";
  ASSERT_EQ(std::system((resize + "1920x1080").c_str()), 0);
  CaptureError error;
  auto stream = x11::openDisplayStream(xvnc, {}, error);
  ASSERT_TRUE(stream) << error.description;
  RecordingSink sink;
  Recorder<PictureSize> views;
  ScreenCaptureManager manager(sink);
  manager.setChangeHandler([&](const ScreenRect&, PictureSize picture) { views.add(picture); });
  manager.start(std::move(stream), 60);
  ASSERT_TRUE(views.waitFor(1));
  for (const PictureSize size : {PictureSize{1280, 1024}, PictureSize{1920, 1200}}) {
    const std::size_t seen = views.count();
    ASSERT_EQ(std::system((resize + std::to_string(size.width) + "x" + std::to_string(size.height)).c_str()), 0);
    ASSERT_TRUE(views.waitFor(seen + 1));
    EXPECT_EQ(views.at(seen), size);
    // The picture that came with the change follows its report.
    for (int i = 0; i < 100 && sink.at(sink.count() - 1).width != size.width; ++i) std::this_thread::sleep_for(50ms);
    EXPECT_EQ(sink.at(sink.count() - 1).width, size.width);
  }
  manager.stop();
  ASSERT_EQ(std::system((resize + "1920x1080").c_str()), 0);

  // Two monitors side by side: the one chosen by name is streamed; once it is unplugged the
  // stream falls back to the first one.
  const std::string xrandr = std::string("DISPLAY=") + xvnc + " xrandr ";
  ASSERT_EQ(std::system((xrandr + "--setmonitor LEFT 960/254x1080/286+0+0 none && " + xrandr +
                         "--setmonitor RIGHT 960/254x1080/286+960+0 none").c_str()),
            0);
  Recorder<ScreenRect> areas;
  manager.setChangeHandler([&](const ScreenRect& area, PictureSize) { areas.add(area); });
  stream = x11::openDisplayStream(xvnc, "RIGHT", error);
  ASSERT_TRUE(stream) << error.description;
  manager.start(std::move(stream), 60);
  ASSERT_TRUE(areas.waitFor(1));
  EXPECT_EQ(areas.at(0), (ScreenRect{960, 0, 960, 1080}));
  ASSERT_EQ(std::system((xrandr + "--delmonitor RIGHT").c_str()), 0);
  ASSERT_TRUE(areas.waitFor(2));
  EXPECT_EQ(areas.at(1), (ScreenRect{0, 0, 960, 1080}));
  manager.stop();
  std::system((xrandr + "--delmonitor LEFT").c_str());
}

// An X server that stops answering: a stream that is opened gives up at its limit, and one
// open already closes without waiting for it, its display cut off by the stream's watch.
TEST(X11CaptureTest, NeitherOpeningNorClosingAStreamWaitsForAStoppedServer) {
  OwnXServer server;
  QUORIN_REQUIRE(!server.name().empty(), "Xvfb did not start");
  CaptureError error;
  auto stream = x11::openDisplayStream(server.name(), "", error);
  ASSERT_TRUE(stream) << error.description;
  server.stop();
  std::atomic<bool> cancelled{true};
  EXPECT_EQ(x11::openDisplayStream(server.name(), "", error, cancelled), nullptr);
  EXPECT_EQ(error.description, "The X display does not answer, so its screen cannot be shared now.");
  stream.reset();
  server.resume();
  EXPECT_TRUE(x11::openDisplayStream(server.name(), "", error)) << "the server still serves";
}

TEST(CursorOverlayTest, BlendsClipsAtTheEdgesAndPutsBackWhatWasUnder) {
  constexpr std::uint32_t kRed = 0xFFFF0000;
  constexpr std::uint32_t kBackground = 0xFFFFFFFF;
  std::vector<std::uint32_t> pixels(10 * 8, kBackground);
  const MutableBgraImage picture{reinterpret_cast<std::uint8_t*>(pixels.data()), 10, 8, 40};
  const auto at = [&](int x, int y) { return pixels[std::size_t(y) * 10 + x]; };

  // 4x4, left half opaque red, right half premultiplied 50 % black; hotspot (1, 1).
  CursorOverlay overlay;
  std::vector<std::uint32_t> shape(16);
  for (int i = 0; i < 16; ++i) shape[i] = i % 4 < 2 ? kRed : 0x80000000;
  overlay.setShape(shape, 4, 4, 1, 1);

  ChangedArea changed = ChangedArea::none();
  overlay.draw(picture, 5, 4, changed);
  EXPECT_EQ(changed.rects, (std::vector<ScreenRect>{{4, 3, 4, 4}}));
  EXPECT_EQ(at(4, 3), kRed);
  EXPECT_EQ(at(6, 6), 0xFF7F7F7Fu);
  EXPECT_EQ(at(8, 3), kBackground);
  EXPECT_EQ(std::count(pixels.begin(), pixels.end(), kBackground), 80 - 16);

  changed = ChangedArea::none();
  overlay.draw(picture, 0, 0, changed);  // only the lower-right 3x3 shows
  EXPECT_EQ(changed.rects, (std::vector<ScreenRect>{{4, 3, 4, 4}, {0, 0, 3, 3}})) << "where it was, where it is";
  EXPECT_EQ(std::count(pixels.begin(), pixels.end(), kBackground), 80 - 9);
  overlay.draw(picture, 10, 8, changed);  // only the top-left pixel shows
  EXPECT_EQ(at(9, 7), kRed);
  EXPECT_EQ(std::count(pixels.begin(), pixels.end(), kBackground), 80 - 1);

  overlay.forget();  // a fresh grab: the old pixel is not put back over it
  pixels[79] = 0xFF00FF00;
  overlay.draw(picture, -50, 100, changed);
  EXPECT_EQ(at(9, 7), 0xFF00FF00u);
}

}  // namespace
}  // namespace quorin
