// KWin's screen cast through the host's KDE stream, on the suite's KWin (scripts/lib/kwin.sh),
// which grants its screen cast, fake input and window list to this binary. KWin 5.27 headless
// sends no pictures of an output, so the pictures are checked on a window's cast, which goes
// through the same stream, reader and encoder.

#include <gtest/gtest.h>
#include <libyuv/convert_argb.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <algorithm>
#include <functional>
#include <mutex>

#include "client/annex_b.h"
#include "client/h264_decoder.h"
#include "desktop/kde/kde_display_stream.h"
#include "desktop/kde/kwin_event_sink.h"
#include "fakes/require_service.h"
#include "kde/kde_window_list.h"
#include "video/video_encoder.h"
#include "wayland/wayland_test_client.h"

namespace quorin {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kPlum = 0x8E4585, kGold = 0xFFD700;

bool near(const std::uint8_t* bgra, std::uint32_t colour) {
  const auto close = [&](int value, int shift) { return std::abs(value - int((colour >> shift) & 0xFF)) <= 24; };
  return close(bgra[2], 16) && close(bgra[1], 8) && close(bgra[0], 0);
}

const std::uint8_t* pixel(const BgraImage& image, int x, int y) {
  return image.pixels + std::size_t(y) * image.stride + std::size_t(x) * 4;
}

class KdeCast : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* kwin = std::getenv("KWIN_WAYLAND_DISPLAY");
    QUORIN_REQUIRE(kwin && *kwin, "KWIN_WAYLAND_DISPLAY is unset: no KWin to run on (scripts/test starts one)");
    display_ = kwin;
  }

  // A full-screen window on Virtual-0, with a pointer image of its own.
  std::unique_ptr<WaylandTestClient> showWindow() {
    auto window = std::make_unique<WaylandTestClient>(
        display_.c_str(), WaylandTestClient::Look{.colour = kPlum, .output = "Virtual-0", .pointer = kGold,
                                                  .title = "quorin cast"});
    EXPECT_EQ(window->error(), "");
    return window;
  }
  // The cast of the window showWindow() shows.
  std::unique_ptr<kde::KdeDisplayStream> castWindow() {
    KdeWindowList list(display_.c_str());
    const auto found = list.find("quorin cast");
    EXPECT_TRUE(found) << list.error();
    if (!found) return nullptr;
    CaptureError error;
    auto stream = kde::KdeDisplayStream::open(display_, {.windowUuid = found->uuid}, &cancelled_, error);
    EXPECT_TRUE(stream) << error.description;
    return stream;
  }

  // The stream's next picture for which `wanted` holds; nothing when the stream fails first.
  // The limit only keeps a broken cast from hanging the suite.
  static const BgraImage* pictureWhere(kde::KdeDisplayStream& stream,
                                       const std::function<bool(const BgraImage&)>& wanted) {
    const auto giveUp = Clock::now() + 20s;
    for (bool first = true; Clock::now() < giveUp && !stream.failure(); first = false) {
      if (const BgraImage* image = stream.grab(first); image && wanted(*image)) return image;
      stream.waitForChange(Clock::now() + 200ms);
    }
    return nullptr;
  }

  std::string display_;
  std::atomic<bool> cancelled_{false};
};

// A window's cast shows the colour it painted, pixel for pixel away from the pointer, and the
// host's encoder turns it into a stream that a client decodes to the same colour.
TEST_F(KdeCast, AWindowsCastShowsItsColourAndDecodesToIt) {
  const auto window = showWindow();
  const auto stream = castWindow();
  ASSERT_TRUE(stream);
  const BgraImage* image = pictureWhere(*stream, [](const BgraImage& i) { return i.width > 0; });
  ASSERT_TRUE(image) << "no picture of the window";
  EXPECT_EQ(image->width, 1280);
  EXPECT_EQ(image->height, 800);
  for (const auto& [x, y] : {std::pair{4, 4}, {1275, 4}, {4, 795}, {1275, 795}, {100, 700}}) {
    const std::uint8_t* p = pixel(*image, x, y);
    EXPECT_EQ(std::uint32_t(p[2]) << 16 | std::uint32_t(p[1]) << 8 | p[0], kPlum) << "at " << x << "," << y;
  }

  VideoEncoder encoder(image->width, image->height);
  std::mutex mutex;
  std::condition_variable encoded;
  Bytes annexB;
  bool done = false;
  encoder.onConfig = [&](const VideoConfig& config) {
    std::lock_guard lock(mutex);
    for (const Bytes& set : config.parameterSets) annexb::appendNalUnit(annexB, set);
  };
  encoder.onFrame = [&](const VideoFrameHeader&, ByteView picture) {
    std::lock_guard lock(mutex);
    annexb::appendPicture(annexB, picture, 4);
    done = true;
    encoded.notify_all();
  };
  encoder.start();
  encoder.encode(*image, 0us, {});
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(encoded.wait_for(lock, 20s, [&] { return done; }));
  }
  encoder.stop();
  H264Decoder decoder;
  std::vector<std::uint8_t> rgb;
  int width = 0;
  ASSERT_TRUE(decoder.decode(annexB, [&](Picture picture) {
    width = picture.width();
    rgb.resize(std::size_t(width) * picture.height() * 4);
    libyuv::I420ToARGB(picture.plane(0), picture.stride(0), picture.plane(1), picture.stride(1), picture.plane(2),
                       picture.stride(2), rgb.data(), width * 4, width, picture.height());
  }));
  ASSERT_EQ(width, 1280);
  EXPECT_TRUE(near(&rgb[(std::size_t(700) * width + 100) * 4], kPlum));
}

// KWin sends the pointer beside a window's pictures; the stream draws it where fake input put
// it, with the window's own pointer image, and takes it off where it was.
TEST_F(KdeCast, ThePointerIsDrawnWhereFakeInputMovedIt) {
  const auto window = showWindow();
  const auto sink = kde::openKwinEventSink(display_);
  ASSERT_TRUE(sink) << "KWin grants no fake input to this binary";
  // The window gives the pointer its image as the pointer enters it; KWin sends the image with
  // the cast's first picture, and then where the pointer goes.
  sink->movePointer(280, 180);
  sink->finish();
  ASSERT_TRUE(window->waitFor([](const std::vector<ReceivedEvent>& got) {
    return std::ranges::any_of(got, [](const ReceivedEvent& e) { return e.type == ReceivedEvent::Type::motion; });
  })) << "the pointer did not enter the window";
  const auto stream = castWindow();
  ASSERT_TRUE(stream);
  const int middle = WaylandTestClient::kPointerSize / 2;
  const auto pointerAt = [&](int x, int y) {
    return [=](const BgraImage& i) {
      return i.width == 1280 && near(pixel(i, x + middle, y + middle), kGold) &&
             near(pixel(i, x - middle, y - middle), kPlum);
    };
  };
  ASSERT_TRUE(pictureWhere(*stream, pointerAt(280, 180))) << "no pointer at 280,180";
  sink->movePointer(900, 600);
  sink->finish();
  const BgraImage* moved = pictureWhere(*stream, pointerAt(900, 600));
  ASSERT_TRUE(moved) << "no pointer at 900,600";
  EXPECT_TRUE(near(pixel(*moved, 280 + middle, 180 + middle), kPlum)) << "the pointer stayed behind";
}

// KWin ends the cast when its window closes: the stream ends with one sentence.
TEST_F(KdeCast, ClosingTheWindowEndsTheCastAsStoppedSharing) {
  auto window = showWindow();
  const auto stream = castWindow();
  ASSERT_TRUE(stream);
  ASSERT_TRUE(pictureWhere(*stream, [](const BgraImage& i) { return i.width > 0; }));
  window.reset();
  EXPECT_FALSE(pictureWhere(*stream, [](const BgraImage&) { return false; }));
  ASSERT_TRUE(stream->failure());
  EXPECT_EQ(*stream->failure(), sharingEndedError());
}

}  // namespace
}  // namespace quorin
