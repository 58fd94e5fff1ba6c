// The host serving a Wayland desktop (headless sway, the screen-sharing portal, PipeWire, as
// scripts/test starts them) to the reference client.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "fakes/require_service.h"
#include "app/command_output.h"
#include "fakes/child_process.h"
#include "protocol/json_codec.h"

namespace quorin {
namespace {

using namespace std::chrono_literals;

TEST(WaylandEndToEnd, TheClientSeesTheWaylandDesktop) {
  QUORIN_REQUIRE(std::getenv("WAYLAND_DISPLAY") && std::getenv("SWAYSOCK"),
                 "no sway / portal stack (scripts/test starts one)");
  const std::string dir = testing::TempDir() + "quorin-wayland-e2e";
  std::filesystem::create_directories(dir);

  const std::string host = QUORIN_HOST_BINARY;
  std::ofstream(dir + "/pairing.txt") << commandOutput(host + " --pairing-text 2>/dev/null");
  ChildProcess server({host, "--headless"}, {"QUORIN_BACKEND=wayland"});
  ASSERT_TRUE(server.waitForLine("Advertising")) << server.output();
  ChildProcess client({QUORIN_CLIENT_BINARY, "connect", "127.0.0.1", "--pairing", "@" + dir + "/pairing.txt",
                       "--seconds", "5", "--record", dir + "/screen.h264", "--stats"});
  // wlroots copies the screen only when it next draws it, and the portal asks for the first
  // copy a little after the stream runs; sway draws a new background in two steps, and only
  // the first may be copied. So paint a few times once the stream runs, and look for the
  // colour in every decoded picture.
  ASSERT_TRUE(server.waitForLine("Connected client")) << server.output();
  for (int i = 0; i < 5; ++i) {
    std::this_thread::sleep_for(300ms);
    ASSERT_EQ(std::system("swaymsg output HEADLESS-1 bg '#2E8B57' solid_color >/dev/null"), 0);
  }
  const int status = client.wait(60s);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << client.output();
  // The --stats line is the last one.
  const std::string& out = client.output();
  auto hello = json::parseObject(out.substr(out.rfind('\n', out.size() - 2) + 1)).value_or(json::Json())["hello"];
  EXPECT_EQ(hello["screenWidth"], 1920) << out;
  EXPECT_EQ(hello["screenHeight"], 1080);

  // The mean colour of an area away from the pointer, one RGB triple per decoded picture.
  const std::string means = commandOutput("ffmpeg -v error -i " + dir +
                                          "/screen.h264 -vf crop=200:200:200:150,scale=1:1 -f rawvideo -pix_fmt rgb24 -");
  ASSERT_GE(means.size(), 3u);
  const auto near = [&](std::size_t i, int value) { return std::abs(std::uint8_t(means[i]) - value) < 12; };
  bool seen = false;
  for (std::size_t at = 0; at + 2 < means.size() && !seen; at += 3) {
    seen = near(at, 0x2E) && near(at + 1, 0x8B) && near(at + 2, 0x57);
  }
  EXPECT_TRUE(seen) << means.size() / 3 << " pictures, none of the painted colour";
  // The approval is kept for the next run.
  const auto defaults = commandOutput("cat \"$XDG_CONFIG_HOME\"/quorin-remote/defaults.json");
  EXPECT_NE(defaults.find("QuorinScreenShareRestoreToken"), std::string::npos) << defaults;
  EXPECT_EQ(WEXITSTATUS(server.terminate()), 0);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace quorin
