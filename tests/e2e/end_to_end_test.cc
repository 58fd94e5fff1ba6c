// The host and the reference client as a user runs them: separate programs on a virtual
// display, found through Avahi, paired with the text the host prints.

#include <signal.h>
#include <unistd.h>

#include <thread>

#include "e2e/end_to_end.h"
#include "e2e/x11/screen_painter.h"
#include "fakes/require_service.h"
#include "input/x11_test_client.h"

namespace quorin {
namespace {

using namespace std::chrono_literals;

class EndToEnd : public EndToEndTest {
 protected:
  void SetUp() override {
    QUORIN_REQUIRE(std::getenv("DISPLAY") && std::system("avahi-daemon --check 2>/dev/null") == 0,
                   "needs an X display and avahi-daemon (scripts/test starts both)");
    EndToEndTest::SetUp();
  }
};

// The pixel at (x, y) of a 1920-pixel-wide picture given as RGB bytes is near `colour`.
bool near(const std::string& rgb, int x, int y, Rgb colour) {
  const std::size_t at = (std::size_t(y) * 1920 + x) * 3;
  const auto close = [&](int i, int value) { return std::abs(std::uint8_t(rgb[at + i]) - value) <= 40; };
  return rgb.size() >= at + 3 && close(0, colour.r) && close(1, colour.g) && close(2, colour.b);
}

TEST_F(EndToEnd, ClientFindsThePairedHostAndSeesItsScreen) {
  ScreenPainter painter;
  ASSERT_TRUE(painter.ready());
  painter.paintQuadrants();
  auto host = startHost();

  // No HOST: the client browses for the host named in the pairing text.
  // A still screen sends its first picture and then a key frame every 2 s.
  ChildProcess client({kClient, "connect", "--pairing", pairing_, "--seconds", "3", "--snapshot", path("screen.png"),
                       "--record", path("screen.h264"), "--stats"});
  const auto run = finish(client);
  ASSERT_EQ(run.exitCode, 0) << run.output;
  const json::Json hello = run.stats.value("hello", json::Json());
  ASSERT_TRUE(hello.is_object()) << run.output;
  EXPECT_EQ(hello["screenWidth"], 1920);
  EXPECT_EQ(hello["screenHeight"], 1080);
  EXPECT_EQ(hello["codec"], "h264");
  EXPECT_EQ(run.stats["result"], "completed");
  EXPECT_EQ(run.stats.value("decodeErrors", -1), 0);
  const int frames = run.stats.value("frames", 0);
  EXPECT_GE(frames, 1);
  EXPECT_EQ(run.stats["decodedFrames"], frames);

  // Two points per quadrant, far apart, so that the pointer drawn into the picture (left
  // wherever earlier tests put it) cannot cover both.
  const std::string raw = commandOutput("ffmpeg -v error -i " + path("screen.png") + " -f rawvideo -pix_fmt rgb24 -");
  ASSERT_EQ(raw.size(), 1920u * 1080u * 3u);
  for (int q = 0; q < 4; ++q) {
    const int x = (q % 2) * 960, y = (q / 2) * 540;
    const Rgb colour = ScreenPainter::kQuadrants[q];
    EXPECT_TRUE(near(raw, x + 240, y + 135, colour) || near(raw, x + 720, y + 405, colour)) << "quadrant " << q;
  }
  // Every frame received was recorded.
  EXPECT_EQ(commandOutput("ffprobe -v error -count_frames -show_entries "
                          "stream=codec_name,profile,width,height,nb_read_frames -of csv=p=0 " + path("screen.h264")),
            "h264,High,1920,1080," + std::to_string(frames) + "\n");

  // The host is listed under its own name, and a name nobody advertises is not found.
  const auto listing = commandOutput(kClient + " browse");
  EXPECT_NE(listing.find(hello.value("hostName", "?") + "\t127.0.0.1\t52877\n"), std::string::npos) << listing;
  std::ofstream(path("stranger.txt")) << R"({"key":"AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=","name":"nobody","v":1})";
  ChildProcess stranger({kClient, "connect", "--pairing", "@" + path("stranger.txt"), "--timeout", "1.5"});
  EXPECT_EQ(finish(stranger).exitCode, 3) << "unreachable";
  expectCleanStop(*host);
}

TEST_F(EndToEnd, ClientInputMovesThePointerAndTypesIntoTheFocusedWindow) {
  X11TestDisplay display;
  ASSERT_TRUE(display.connected());
  X11TestClient window(ScreenRect{100, 100, 400, 300});
  ASSERT_TRUE(window.ready());
  auto host = startHost();

  const std::string input = R"({"input":{"kind":"mouseMove","x":0.25,"y":0.75}})" "\n"
                            R"({"delayMs":100,"input":{"kind":"keyText","text":"héllo €"}})";
  const auto run = runClient({"--seconds", "3", "--stats", "--input", script("input.jsonl", input)});
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(display.pointer(), std::make_pair(480, 810));
  EXPECT_TRUE(window.waitFor([](const auto& events) { return X11TestClient::typedText(events) == "héllo €"; }))
      << X11TestClient::typedText(window.take());
}

// A slow client must not make the host queue its stream.
// A client on a slow link, then many short sessions on the same host: each one decodes
// cleanly. (The host's memory over such runs is a figure of bench/e2e.)
TEST_F(EndToEnd, ASlowClientAndManyShortSessionsEachDecodeCleanly) {
  ScreenPainter painter;
  painter.startAnimation(60);
  auto host = startHost();
  const auto slowRun = runClient({"--read-rate", "1M", "--seconds", "6", "--stats"});
  EXPECT_EQ(slowRun.exitCode, 0) << slowRun.output;
  EXPECT_EQ(slowRun.stats.value("decodeErrors", -1), 0) << slowRun.output;
  EXPECT_GT(slowRun.stats.value("decodedFrames", 0), 0);
  for (int cycle = 0; cycle < 20; ++cycle) {
    const auto run = runClient({"--frames", "5", "--stats"});
    ASSERT_EQ(run.exitCode, 0) << "cycle " << cycle << "\n" << run.output;
    ASSERT_EQ(run.stats.value("decodeErrors", -1), 0) << "cycle " << cycle;
  }
}

TEST_F(EndToEnd, WithoutAnXDisplayTheClientStaysConnectedWithoutVideo) {
  auto host = startHost({"DISPLAY=:999", "QUORIN_BACKEND=x11"});
  const std::string input = R"({"input":{"kind":"leftClick","x":0.5,"y":0.5}})" "\n"
                            R"({"delayMs":200,"input":{"kind":"keyText","text":"a"}})";
  const auto run = runClient({"--seconds", "3", "--stats", "--input", script("input.jsonl", input)});
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_TRUE(run.stats.contains("hello") && run.stats["hello"].is_null()) << run.output;
  EXPECT_EQ(run.stats.value("frames", -1), 0);
  EXPECT_TRUE(host->waitForLine("Last error: ", 2s)) << host->output();
}

TEST_F(EndToEnd, SigtermEndsTheHostPromptlyDuringAFloodOfInput) {
  auto host = startHost();
  {
    std::ofstream out(path("flood.jsonl"));
    std::string text;
    for (int i = 0; i < 30'000; ++i) text += "漢";
    for (int i = 0; i < 200'000; ++i) {
      out << R"({"input":{"kind":"mouseMove","x":)" << (i % 100) / 100.0 << R"(,"y":0.5}})" "\n";
      if (i % 1000 == 0) out << R"({"input":{"kind":"keyText","text":")" << text << "\"}}\n";
    }
  }
  auto flood = startClient({"--input", path("flood.jsonl"), "--seconds", "30"});
  ASSERT_TRUE(host->waitForLine("Connected client", 10s)) << host->output();
  std::this_thread::sleep_for(2s);
  expectCleanStop(*host);
}

// An X server of the test's own (Xvnc), which it kills, starts again and stops.
class OwnXServer {
 public:
  OwnXServer() {
    for (int n = 181; n < 230 && display_.empty(); ++n) {
      if (access(("/tmp/.X11-unix/X" + std::to_string(n)).c_str(), F_OK) != 0) display_ = ":" + std::to_string(n);
    }
    const char* cookies = std::getenv("XAUTHORITY");
    if (display_.empty() || !cookies) return;
    commandOutput("xauth -q -f " + std::string(cookies) + " add " + display_ + " . $(od -An -N16 -tx1 /dev/urandom | tr -d ' \\n')");
    start();
  }
  void start() {
    server_ = std::make_unique<ChildProcess>(std::vector<std::string>{
        "Xvnc", display_, "-geometry", "1280x720", "-depth", "24", "-SecurityTypes", "None", "-rfbport", "-1",
        "-nolisten", "tcp", "-auth", std::getenv("XAUTHORITY")});
    for (int i = 0; i < 100 && std::system(("DISPLAY=" + display_ + " xdpyinfo >/dev/null 2>&1").c_str()) != 0; ++i) {
      std::this_thread::sleep_for(100ms);
    }
  }
  void kill() { server_.reset(); }
  void signal(int number) { ::kill(server_->pid(), number); }
  const std::string& display() const { return display_; }

 private:
  std::string display_;
  std::unique_ptr<ChildProcess> server_;
};

// The X server goes away, comes back and hangs: the headless host ends the session with a
// sentence, not the process, serves the next client once the display is back, and still
// stops cleanly while the display does not answer.
TEST_F(EndToEnd, TheHostOutlivesItsXServerAndStopsWhileItHangs) {
  OwnXServer x;
  QUORIN_REQUIRE(!x.display().empty() && std::system("command -v Xvnc >/dev/null") == 0,
                 "needs Xvnc and XAUTHORITY (scripts/test provides both)");
  auto host = startHost({"DISPLAY=" + x.display(), "QUORIN_BACKEND=x11"});
  auto watching = startClient({"--seconds", "20"});
  ASSERT_TRUE(host->waitForLine("Connected client")) << host->output();
  x.kill();
  EXPECT_TRUE(host->waitForLine("Last error: The connection to the X display was lost")) << host->output();
  finish(*watching, 30s);

  x.start();
  const std::string input = R"({"input":{"kind":"mouseMove","x":0.25,"y":0.75}})";
  // The move is sent at once, before any picture: it waits for the new display's session.
  const auto run = runClient({"--frames", "1", "--stats", "--input", script("move.jsonl", input)});
  EXPECT_EQ(run.exitCode, 0) << run.output << host->output();
  EXPECT_GE(run.stats.value("decodedFrames", 0), 1);
  // The session's end waits for its input to be injected.
  ASSERT_TRUE(host->waitForLine("Connected client") && host->waitForLine("No client connected"));
  EXPECT_EQ(commandOutput("DISPLAY=" + x.display() + " xdotool getmouselocation --shell | head -2 | tr '\\n' ' '"),
            "X=320 Y=540 ");

  // A display that stops answering ends the session; the next client is told why instead of
  // waiting for ever, and the host still stops by its own clean stop.
  auto stuck = startClient({"--seconds", "30"});
  ASSERT_TRUE(host->waitForLine("Connected client")) << host->output();
  x.signal(SIGSTOP);
  EXPECT_TRUE(host->waitForLine("Last error: The X display stopped answering")) << host->output();
  auto waiting = startClient({"--seconds", "30"});
  EXPECT_TRUE(host->waitForLine("Last error: The X display does not answer")) << host->output();
  expectCleanStop(*host);
  x.signal(SIGCONT);
}

}  // namespace
}  // namespace quorin
