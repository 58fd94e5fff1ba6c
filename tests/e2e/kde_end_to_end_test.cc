// The host serving a KDE Plasma desktop through KWin's own screen cast and fake input to the
// reference client: the suite's headless KWin (scripts/lib/kwin.sh), two outputs side by
// side, which grants both protocols to the host binary through a desktop file it read before
// it started. KWin 5.27 headless sends no pictures of an output, so these tests look at what
// the client is told and at what reaches a window; the pictures are checked on a window cast
// (tests/kde).

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

#include "e2e/end_to_end.h"
#include "fakes/require_service.h"
#include "wayland/wayland_test_client.h"

namespace quorin {
namespace {

constexpr std::uint32_t kPlum = 0x8E4585;

class KdeEndToEnd : public EndToEndTest {
 protected:
  void SetUp() override {
    const char* display = std::getenv("KWIN_WAYLAND_DISPLAY");
    QUORIN_REQUIRE(display && *display, "no KWin (scripts/test starts one with scripts/lib/kwin.sh)");
    display_ = display;
    // The host's key and its monitor choice stay in the test's folder.
    setenv("XDG_DATA_HOME", path("data").c_str(), 1);
    setenv("XDG_CONFIG_HOME", path("config").c_str(), 1);
    EndToEndTest::SetUp();
  }

  std::vector<std::string> kdeEnvironment() const {
    return {"QUORIN_BACKEND=wayland", "WAYLAND_DISPLAY=" + display_};
  }
  std::unique_ptr<ChildProcess> startKdeHost() {
    auto host = startHost(kdeEnvironment());
    EXPECT_NE(host->output().find("sharing the Wayland desktop through KWin's screen cast and fake input"),
              std::string::npos)
        << host->output();
    return host;
  }
  // `binary` with `arguments`, its log and its output together.
  std::string hostCommand(const std::string& arguments, const std::string& binary = kHost) const {
    return commandOutput("QUORIN_BACKEND=wayland WAYLAND_DISPLAY=" + display_ + " " + binary + " " + arguments +
                         " 2>&1");
  }

  std::string display_;
};

// Both outputs are listed by name; a client is greeted with the size of the output chosen.
TEST_F(KdeEndToEnd, EachOutputIsListedAndAClientIsGreetedAtItsSize) {
  const std::string listed = hostCommand("--list-monitors");
  EXPECT_NE(listed.find("sharing the Wayland desktop through KWin's screen cast and fake input"), std::string::npos)
      << listed;
  EXPECT_NE(listed.find("Virtual-0 1280x800+0+0 primary\nVirtual-1 1280x800+1280+0\n"), std::string::npos) << listed;
  hostCommand("--monitor Virtual-1");
  auto host = startKdeHost();
  const auto run = runClient({"--seconds", "4", "--stats"});
  ASSERT_EQ(run.exitCode, 0) << run.output << host->output();
  EXPECT_EQ(run.stats["hello"]["screenWidth"], 1280);
  EXPECT_EQ(run.stats["hello"]["screenHeight"], 800);
  expectCleanStop(*host);
  EXPECT_NE(host->output().find("streaming Virtual-1"), std::string::npos) << host->output();
}

// On the second output, whose place in KWin's layout is not the stream's: a tap lands on the
// exact pixel of the window there, with a click, and text is typed through KWin's layout,
// capitals through Shift; a character the layout has no key for is dropped and said so once.
TEST_F(KdeEndToEnd, ATapLandsOnItsPixelOfTheChosenOutputAndTextIsTypedThroughTheLayout) {
  WaylandTestClient target(display_.c_str(), {.colour = kPlum, .output = "Virtual-1"});
  ASSERT_TRUE(target.ready()) << target.error();
  hostCommand("--monitor Virtual-1");
  auto host = startKdeHost();
  const std::string input = R"({"input":{"kind":"mouseMove","x":0.25,"y":0.75}})" "\n"
                            R"({"delayMs":300,"input":{"kind":"leftClick","x":0.25,"y":0.75}})" "\n"
                            R"({"delayMs":300,"input":{"kind":"keyText","text":"Hi é!é"}})";
  const auto run = runClient({"--seconds", "4", "--stats", "--input", script("tap.jsonl", input)});
  ASSERT_EQ(run.exitCode, 0) << run.output << host->output();
  EXPECT_TRUE(target.waitFor([](const std::vector<ReceivedEvent>& got) {
    const auto click = std::ranges::find_if(got, [](const ReceivedEvent& e) {
      return e.type == ReceivedEvent::Type::button && e.pressed && e.x == 320 && e.y == 600;
    });
    return click != got.end() && std::any_of(click, got.end(), [](const ReceivedEvent& e) {
             return e.type == ReceivedEvent::Type::button && !e.pressed;
           });
  })) << "no click at 320,600 of Virtual-1";
  const bool typed = target.waitFor([](const std::vector<ReceivedEvent>& got) {
    return InputRecorder::typedText(got) == "Hi !";
  });
  expectCleanStop(*host);
  const std::string log = host->output();
  EXPECT_TRUE(typed) << InputRecorder::typedText(target.take()) << "\n" << log;
  const std::string dropped = "has no key for eacute";
  EXPECT_NE(log.find(dropped), std::string::npos) << log;
  EXPECT_EQ(log.find(dropped), log.rfind(dropped)) << "logged more than once";
}

// A copy of the host at another path is no program KWin's desktop files name: KWin hides its
// screen cast and fake input from it, and the host says why and goes through the portal.
TEST_F(KdeEndToEnd, WithoutTheGrantTheHostSaysWhyAndGoesThroughThePortal) {
  const std::string copy = path("quorin-remote-host");
  std::filesystem::copy_file(kHost, copy);
  chmod(copy.c_str(), 0755);
  const std::string listed = hostCommand("--list-monitors", copy);
  EXPECT_NE(listed.find("KWin shares the screen and input without asking only with a program that an installed "
                        "desktop file grants them to"),
            std::string::npos)
      << listed;
  EXPECT_NE(listed.find("this host runs as " + copy), std::string::npos) << listed;
  EXPECT_NE(listed.find("sharing the Wayland desktop through the screen-sharing portal"), std::string::npos) << listed;
  EXPECT_NE(listed.find("The desktop's screen-sharing dialog chooses the monitor."), std::string::npos) << listed;
}

}  // namespace
}  // namespace quorin
