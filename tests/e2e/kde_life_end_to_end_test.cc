// The host serving a KDE Plasma desktop through KWin's screen cast and fake input while the
// desktop changes under it: a headless KWin of the test's own (tests/kde), two outputs side by
// side, that grants both protocols to the host binary, so that a test may stop KWin or turn an
// output off without touching anyone else's. KWin 5.27 headless sends no pictures of an
// output, so these tests look at the host's log, at what the client is told and at what
// reaches a window.

#include <signal.h>

#include <algorithm>
#include <cstdlib>

#include "e2e/end_to_end.h"
#include "fakes/require_service.h"
#include "kde/kwin_output_switch.h"
#include "kde/own_kwin.h"
#include "wayland/wayland_test_client.h"

namespace quorin {
namespace {

constexpr std::uint32_t kPlum = 0x8E4585;

class KdeLifeEndToEnd : public EndToEndTest {
 protected:
  void SetUp() override {
    QUORIN_REQUIRE(kwin_.running(), kwin_.error() << " (scripts/test runs PipeWire for it)");
    // The host's key and its monitor choice stay in the test's folder.
    setenv("XDG_DATA_HOME", path("data").c_str(), 1);
    setenv("XDG_CONFIG_HOME", path("config").c_str(), 1);
    EndToEndTest::SetUp();
  }

  std::vector<std::string> kdeEnvironment() const {
    return {"QUORIN_BACKEND=wayland", "WAYLAND_DISPLAY=" + kwin_.display()};
  }
  std::unique_ptr<ChildProcess> startKdeHost() {
    auto host = startHost(kdeEnvironment());
    EXPECT_NE(host->output().find("sharing the Wayland desktop through KWin's screen cast and fake input"),
              std::string::npos)
        << host->output() << kwin_.log();
    return host;
  }
  void chooseMonitor(const std::string& name) const {
    commandOutput("QUORIN_BACKEND=wayland WAYLAND_DISPLAY=" + kwin_.display() + " " + kHost + " --monitor " +
                  name + " 2>&1");
  }
  void setOutputEnabled(const std::string& name, bool enabled) const {
    std::string error;
    ASSERT_TRUE(setKwinOutputEnabled(kwin_.display(), name, enabled, error)) << error;
  }

  OwnKwin kwin_{{{.binary = kHost, .interfaces = "zkde_screencast_unstable_v1,org_kde_kwin_fake_input"}}};
};

// KWin stopped under a session: the client is let go, the user is told why, and once KWin is
// back the next client is greeted by the same host.
TEST_F(KdeLifeEndToEnd, TheHostOutlivesKwinAndGreetsTheNextClientOnceItIsBack) {
  auto host = startKdeHost();
  auto watching = startClient({"--seconds", "30", "--stats"});
  ASSERT_TRUE(host->waitForLine("QuorinRemote: streaming Virtual-0")) << host->output();
  ASSERT_TRUE(host->waitForLine("Connected client")) << host->output();
  kwin_.stop();
  EXPECT_TRUE(host->waitForLine(
      "Last error: The desktop's compositor went away; connect again once the desktop is back."))
      << host->output();
  const auto dropped = finish(*watching);
  EXPECT_EQ(dropped.stats.value("result", ""), "closedByHost") << dropped.output;

  ASSERT_TRUE(kwin_.start()) << kwin_.error();
  auto next = startClient({"--seconds", "30", "--stats"}, true);
  EXPECT_TRUE(host->waitForLine("QuorinRemote: streaming Virtual-0")) << host->output();
  ASSERT_TRUE(host->waitForLine("Connected client")) << host->output();
  // The host logs the client before the greeting has crossed; the client says when it read it.
  ASSERT_TRUE(next->waitForLine("quorin-client: hello")) << next->output() << host->output();
  kill(next->pid(), SIGTERM);
  const auto run = finish(*next);
  EXPECT_EQ(run.stats.value("result", ""), "interrupted") << run.output;
  ASSERT_TRUE(run.stats["hello"].is_object()) << run.output << host->output();
  EXPECT_EQ(run.stats["hello"]["screenWidth"], 1280) << run.output;
  EXPECT_EQ(run.stats["hello"]["screenHeight"], 800) << run.output;
  expectCleanStop(*host);
}

// The chosen output turned off mid-session: the host casts the primary one in its place, and
// the chosen one again once it is back, in the same session; input follows each time. The
// client taps all along, since it cannot wait for the switches; each window is made once its
// output is the one cast, so only a tap made after the switch can reach it. KWin 5.27 headless
// sends no pictures of an output: input follows the switch itself, not a picture.
TEST_F(KdeLifeEndToEnd, AnOutputTurnedOffAndOnAgainIsFollowedWithinTheSession) {
  chooseMonitor("Virtual-1");
  auto host = startKdeHost();
  std::string taps;
  for (int i = 0; i < 300; ++i) {
    taps += R"({"delayMs":200,"input":{"kind":"mouseMove","x":0.25,"y":0.75}})" "\n"
            R"({"delayMs":100,"input":{"kind":"leftClick","x":0.25,"y":0.75}})" "\n";
  }
  auto client = startClient({"--seconds", "120", "--stats", "--input", script("taps.jsonl", taps)});
  ASSERT_TRUE(host->waitForLine("QuorinRemote: streaming Virtual-1")) << host->output();
  ASSERT_TRUE(host->waitForLine("Connected client")) << host->output();

  const auto clickedAt320By600 = [](const std::vector<ReceivedEvent>& got) {
    return std::ranges::any_of(got, [](const ReceivedEvent& e) {
      return e.type == ReceivedEvent::Type::button && e.pressed && e.x == 320 && e.y == 600;
    });
  };
  setOutputEnabled("Virtual-1", false);
  EXPECT_TRUE(host->waitForLine("QuorinRemote: casting output Virtual-0 in place of Virtual-1")) << host->output();
  {
    WaylandTestClient primary(kwin_.display().c_str(), {.colour = kPlum, .output = "Virtual-0"});
    ASSERT_TRUE(primary.ready()) << primary.error();
    EXPECT_TRUE(primary.waitFor(clickedAt320By600)) << "no click at 320,600 of Virtual-0";
  }
  setOutputEnabled("Virtual-1", true);
  EXPECT_TRUE(host->waitForLine("QuorinRemote: casting output Virtual-1 in place of Virtual-0")) << host->output();
  WaylandTestClient target(kwin_.display().c_str(), {.colour = kPlum, .output = "Virtual-1"});
  ASSERT_TRUE(target.ready()) << target.error();
  EXPECT_TRUE(target.waitFor(clickedAt320By600)) << "no click at 320,600 of Virtual-1";

  // Still connected: the client ends by its own interruption, not by the host.
  kill(client->pid(), SIGTERM);
  const auto run = finish(*client);
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(run.stats.value("result", ""), "interrupted") << run.output;
  EXPECT_EQ(host->output().find("Last error"), std::string::npos) << host->output();
  expectCleanStop(*host);
}

}  // namespace
}  // namespace quorin
