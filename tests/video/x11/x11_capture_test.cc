// Capture of a real X server (Xvfb in CI): what a client paints is what the encoder receives,
// with the pointer drawn in.

#include <gtest/gtest.h>

#include <array>
#include <thread>
#include <utility>

#include "fakes/require_service.h"
#include "video/cursor_overlay.h"
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

TEST(X11CaptureTest, CapturesWhatIsPaintedOnlyWhenSomethingChanges) {
  Painter painter;
  QUORIN_REQUIRE(painter.connected(), "no X display reachable; run under Xvfb (scripts/test starts one)");
  X11DisplayCapturer capturer;
  RecordingSink sink;
  painter.movePointer(600, 300);
  ScreenCaptureManager manager(sink, capturer);
  ASSERT_EQ(manager.start(60), std::nullopt);
  ASSERT_TRUE(sink.waitFor(1));
  const ScreenRect display = capturer.shareableContent().displays.at(0);
  ASSERT_EQ(std::pair(sink.at(0).width, sink.at(0).height), std::pair(display.width, display.height));
  constexpr unsigned long kEnd = 600 + kCursorSize;  // the pointer covers 600 to kEnd - 1
  expectColours(sink.at(0), {{unsigned(display.width) - 1, unsigned(display.height) - 1, kBackground},
                              {600, 300, kCursorGreen}, {kEnd - 1, 300 + kCursorSize - 1, kCursorGreen},
                              {kEnd, 300, kBackground}, {599, 300, kBackground}});

  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(sink.count(), 1u) << "nothing changed after the first picture";
  // Changes are taken as they come: far sooner than the second an idle capture waits.
  auto changedAt = std::chrono::steady_clock::now();
  painter.fill(100, 100, 50, 50, 0xFFFFFF);
  ASSERT_TRUE(sink.waitFor(2));
  EXPECT_LT(std::chrono::steady_clock::now() - changedAt, 250ms);
  std::this_thread::sleep_for(100ms);
  ASSERT_EQ(sink.count(), 2u);
  expectColours(sink.at(1), {{100, 100, 0xFFFFFF}, {150, 120, kBackground}, {120, 99, kBackground}});

  changedAt = std::chrono::steady_clock::now();
  painter.movePointer(700, 400);
  ASSERT_TRUE(sink.waitFor(3)) << "a pointer move alone is a change";
  EXPECT_LT(std::chrono::steady_clock::now() - changedAt, 250ms);
  // The old pointer position shows the screen again.
  expectColours(sink.at(2), {{700, 400, kCursorGreen}, {600, 300, kBackground}, {120, 120, 0xFFFFFF}});

  // A stream reaching beyond the screen fails its grabs without ending the process.
  CaptureError error;
  auto beyond = capturer.openStream({display.width - 10, 0, 200, 200}, error);
  ASSERT_TRUE(beyond) << error.description;
  EXPECT_EQ(beyond->grab(true), nullptr);
  EXPECT_EQ(beyond->grab(true), nullptr);
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

  overlay.draw(picture, 5, 4);
  EXPECT_EQ(at(4, 3), kRed);
  EXPECT_EQ(at(6, 6), 0xFF7F7F7Fu);
  EXPECT_EQ(at(8, 3), kBackground);
  EXPECT_EQ(std::count(pixels.begin(), pixels.end(), kBackground), 80 - 16);

  overlay.draw(picture, 0, 0);  // only the lower-right 3x3 shows
  EXPECT_EQ(std::count(pixels.begin(), pixels.end(), kBackground), 80 - 9);
  overlay.draw(picture, 10, 8);  // only the top-left pixel shows
  EXPECT_EQ(at(9, 7), kRed);
  EXPECT_EQ(std::count(pixels.begin(), pixels.end(), kBackground), 80 - 1);

  overlay.forget();  // a fresh grab: the old pixel is not put back over it
  pixels[79] = 0xFF00FF00;
  overlay.draw(picture, -50, 100);
  EXPECT_EQ(at(9, 7), 0xFF00FF00u);
}

}  // namespace
}  // namespace quorin
