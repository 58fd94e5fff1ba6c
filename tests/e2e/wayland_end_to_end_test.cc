// The host serving a Wayland desktop (headless sway, as scripts/test starts it) to the
// reference client.

#include <cstdlib>
#include <thread>

#include "e2e/end_to_end.h"
#include "fakes/require_service.h"

namespace quorin {
namespace {

using WaylandEndToEnd = EndToEndTest;

TEST_F(WaylandEndToEnd, TheClientSeesTheWaylandDesktop) {
  QUORIN_REQUIRE(std::getenv("WAYLAND_DISPLAY") && std::getenv("SWAYSOCK"),
                 "no sway / portal stack (scripts/test starts one)");
  auto host = startHost({"QUORIN_BACKEND=wayland"});
  auto client = startClient({"--seconds", "5", "--record", path("screen.h264"), "--stats"});
  // wlroots copies the screen only when it next draws it; sway draws a new background in two
  // steps, and only the first may be copied. So paint a few times once the stream runs, and
  // look for the colour in every decoded picture.
  ASSERT_TRUE(host->waitForLine("Connected client")) << host->output();
  for (int i = 0; i < 5; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_EQ(std::system("swaymsg output HEADLESS-1 bg '#2E8B57' solid_color >/dev/null"), 0);
  }
  const auto run = finish(*client);
  ASSERT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(run.stats["hello"]["screenWidth"], 1920) << run.output;
  EXPECT_EQ(run.stats["hello"]["screenHeight"], 1080);

  // The mean colour of an area away from the pointer, one RGB triple per decoded picture.
  const std::string means = commandOutput("ffmpeg -v error -i " + path("screen.h264") +
                                          " -vf crop=200:200:200:150,scale=1:1 -f rawvideo -pix_fmt rgb24 -");
  ASSERT_GE(means.size(), 3u);
  const auto near = [&](std::size_t i, int value) { return std::abs(std::uint8_t(means[i]) - value) < 12; };
  bool seen = false;
  for (std::size_t at = 0; at + 2 < means.size() && !seen; at += 3) {
    seen = near(at, 0x2E) && near(at + 1, 0x8B) && near(at + 2, 0x57);
  }
  EXPECT_TRUE(seen) << means.size() / 3 << " pictures, none of the painted colour";
  // sway lets the host copy its outputs itself: the portal was not asked, so no approval is kept.
  const auto defaults = commandOutput("cat \"$XDG_CONFIG_HOME\"/quorin-remote/defaults.json 2>/dev/null");
  EXPECT_EQ(defaults.find("QuorinScreenShareRestoreToken"), std::string::npos) << defaults;
  expectCleanStop(*host);
}

}  // namespace
}  // namespace quorin
