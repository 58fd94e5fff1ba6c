// A wlroots output streamed by its name through screencopy, on the headless sway of
// scripts/test (scripts/lib/wayland.sh, one output HEADLESS-1): the test adds a second, scaled
// output beside it, and unplugs it again so that other tests see one output. sway before 1.8
// cannot remove a headless output (nor disable one); there it stays, right of HEADLESS-1, and
// the focus goes back to HEADLESS-1 so that later windows open there.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>

#include "desktop/wlroots/wlroots_desktop_environment.h"
#include "fakes/require_service.h"
#include "video/wayland/wlr_screencopy_stream.h"
#include "wayland/wayland_test_client.h"

namespace quorin {
namespace {

using namespace std::chrono_literals;

bool sway(const std::string& command) { return std::system(("swaymsg " + command + " >/dev/null").c_str()) == 0; }

// HEADLESS-2, 1280x720 at scale 2 right of HEADLESS-1: 640x360 in the layout, at x 1920.
class SecondOutput {
 public:
  SecondOutput()
      : added_(sway("create_output") && sway("output HEADLESS-2 resolution 1280x720 position 1920 0 scale 2")) {}
  ~SecondOutput() {
    unplug();
    sway("focus output HEADLESS-1");
  }
  bool added() const { return added_; }
  // False where sway cannot.
  static bool unplug() { return sway("output HEADLESS-2 unplug 2>/dev/null"); }

 private:
  bool added_;
};

// The next picture of the stream that `done` takes, or none within a few seconds.
template <typename Done>
const BgraImage* pictureWhere(DisplayStream& stream, Done done) {
  const auto giveUp = std::chrono::steady_clock::now() + 5s;
  while (std::chrono::steady_clock::now() < giveUp && !stream.failure()) {
    if (const BgraImage* picture = stream.grab(true); picture && done(*picture)) return picture;
    stream.waitForChange(std::chrono::steady_clock::now() + 100ms);
  }
  return nullptr;
}

TEST(WlrScreencopy, TheChosenOutputIsStreamedInItsPixelsFollowedThroughAModeChangeAndPointedAt) {
  QUORIN_REQUIRE(std::getenv("WAYLAND_DISPLAY") && std::getenv("SWAYSOCK"),
                 "no sway (scripts/test starts one)");
  SecondOutput output;
  ASSERT_TRUE(output.added());
  ASSERT_TRUE(WlrootsDesktopEnvironment::offeredBy());
  WlrootsDesktopEnvironment desktop;
  const Monitor second{"HEADLESS-2", {1920, 0, 640, 360}, false};
  EXPECT_EQ(desktop.monitors(), (std::vector<Monitor>{{"HEADLESS-1", {0, 0, 1920, 1080}, true}, second}));

  // A full-screen window on the new output, which records where the pointer lands.
  ASSERT_TRUE(sway("focus output HEADLESS-2"));
  WaylandTestClient window;
  ASSERT_TRUE(window.ready()) << window.error();
  ASSERT_EQ(window.width(), 640);

  std::atomic<bool> cancelled = false;
  DesktopEnvironment::Result made = desktop.makeSession("HEADLESS-2", cancelled);
  ASSERT_NE(made.session, nullptr) << made.error.description;
  DesktopSession& session = *made.session;
  EXPECT_EQ(session.monitorName(), "HEADLESS-2");
  EXPECT_EQ(session.geometry().picture, (PictureSize{1280, 720}));
  EXPECT_EQ(session.geometry().monitor, second.rect);

  // The middle of the picture is the middle of that output, not a point of the first one.
  session.chooseStreamSize({1280, 720});
  InputEvent middle;
  middle.x = middle.y = 0.5;
  session.handle(middle);
  EXPECT_TRUE(window.waitFor([](const std::vector<ReceivedEvent>& got) {
    return !got.empty() && got.back().x == 320 && got.back().y == 180;
  })) << "the pointer did not reach the middle of HEADLESS-2";

  std::unique_ptr<DisplayStream> stream = session.takeStream();
  ASSERT_TRUE(sway("output HEADLESS-2 resolution 1600x900"));
  const BgraImage* resized = pictureWhere(*stream, [](const BgraImage& p) { return p.width == 1600; });
  ASSERT_NE(resized, nullptr) << "no picture of the new mode";
  EXPECT_EQ(resized->height, 900);
  EXPECT_EQ(stream->area(), (ScreenRect{1920, 0, 800, 450}));

  // Once the output is gone, the first one stands in.
  if (!SecondOutput::unplug()) return;
  EXPECT_NE(pictureWhere(*stream, [](const BgraImage& p) { return p.width == 1920; }), nullptr);
  EXPECT_EQ(stream->area(), (ScreenRect{0, 0, 1920, 1080}));
  EXPECT_FALSE(stream->failure());
}

TEST(WlrScreencopy, AnUnknownOutputFallsBackToTheFirstAndALostCompositorEndsTheStreamWithASentence) {
  CaptureError error;
  EXPECT_EQ(wayland::openScreencopyStream("quorin-no-such-wayland-display", "", error), nullptr);
  EXPECT_FALSE(error.description.empty());
  QUORIN_REQUIRE(std::getenv("WAYLAND_DISPLAY") && std::getenv("SWAYSOCK"),
                 "no sway (scripts/test starts one)");
  auto stream = wayland::openScreencopyStream("", "NO-SUCH-OUTPUT", error);
  ASSERT_NE(stream, nullptr) << error.description;
  EXPECT_EQ(stream->area(), (ScreenRect{0, 0, 1920, 1080}));
  // An idle output still gives its first picture.
  EXPECT_NE(pictureWhere(*stream, [](const BgraImage& p) { return p.height == 1080; }), nullptr);
  // What a compositor that goes away looks like to the stream: its connection ends.
  stream->abandon();
  EXPECT_TRUE(stream->waitForChange(std::chrono::steady_clock::now() + 5s));
  EXPECT_EQ(stream->grab(true), nullptr);
  ASSERT_TRUE(stream->failure());
  EXPECT_EQ(stream->failure()->description,
            "The connection to the Wayland compositor was lost, so the session ended.");
}

}  // namespace
}  // namespace quorin
