// The host and the reference client as a user runs them: separate programs on a virtual
// display, found through Avahi, paired with the text the host prints.

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <thread>

#include "fakes/require_service.h"
#include "app/command_output.h"
#include "e2e/x11/screen_painter.h"
#include "fakes/child_process.h"
#include "input/x11_test_client.h"
#include "protocol/json_codec.h"

namespace quorin {
namespace {

using namespace std::chrono_literals;

const std::string kHost = QUORIN_HOST_BINARY;
const std::string kClient = QUORIN_CLIENT_BINARY;

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    QUORIN_REQUIRE(std::getenv("DISPLAY") && std::system("avahi-daemon --check 2>/dev/null") == 0,
                   "needs an X display and avahi-daemon (scripts/test starts both)");
    dir_ = "/tmp/quorin-e2e-" + std::to_string(getpid());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // Starts the host and returns once it listens and advertises.
  std::unique_ptr<ChildProcess> startHost(std::vector<std::string> environment = {}) {
    auto host = std::make_unique<ChildProcess>(std::vector<std::string>{kHost, "--headless"},
                                               std::move(environment));
    EXPECT_TRUE(host->waitForLine("Advertising")) << host->output();
    return host;
  }

  // "@file" holding the pairing text the host prints.
  std::string pairing() {
    const std::string path = dir_ + "/pairing.txt";
    std::ofstream(path) << commandOutput(kHost + " --pairing-text 2>/dev/null");
    return "@" + path;
  }

  struct ClientRun {
    int exitCode = -1;
    json::Json stats;  // the --stats line
    std::string output;
  };
  ClientRun runClient(std::vector<std::string> args, std::chrono::seconds limit = 60s) {
    args.insert(args.begin(), {kClient, "connect"});
    ChildProcess client(args);
    ClientRun run;
    const int status = client.wait(limit);
    run.exitCode = status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.output = client.output();
    run.stats = statsOf(run.output);
    return run;
  }

  // The --stats line: the last line of the client's stdout.
  static json::Json statsOf(const std::string& output) {
    const auto end = output.find_last_not_of('\n');
    if (end == std::string::npos) return json::Json::object();
    const auto start = output.rfind('\n', end);
    auto stats = json::parseObject(output.substr(start == std::string::npos ? 0 : start + 1));
    return stats ? *stats : json::Json::object();
  }

  std::string path(const std::string& name) const { return dir_ + "/" + name; }

 private:
  std::string dir_;
};

// The pixel at (x, y) of a 1920-pixel-wide picture given as RGB bytes.
Rgb pixelAt(const std::string& rgb, int x, int y) {
  const std::size_t at = (std::size_t(y) * 1920 + x) * 3;
  if (rgb.size() < at + 3) return {};
  return {std::uint8_t(rgb[at]), std::uint8_t(rgb[at + 1]), std::uint8_t(rgb[at + 2])};
}

bool near(Rgb a, Rgb b) {
  auto close = [](int p, int q) { return std::abs(p - q) <= 40; };
  return close(a.r, b.r) && close(a.g, b.g) && close(a.b, b.b);
}

TEST_F(EndToEnd, ClientFindsThePairedHostAndSeesItsScreen) {
  ScreenPainter painter;
  ASSERT_TRUE(painter.ready());
  painter.paintQuadrants();
  auto host = startHost();

  // No HOST: the client browses for the host named in the pairing text.
  // A still screen sends its first picture and then a key frame every 2 s.
  const auto run = runClient({"--pairing", pairing(), "--seconds", "3",
                              "--snapshot", path("screen.png"), "--record", path("screen.h264"),
                              "--stats"});
  ASSERT_EQ(run.exitCode, 0) << run.output;
  const json::Json hello = run.stats.value("hello", json::Json());
  ASSERT_TRUE(hello.is_object()) << run.output;
  EXPECT_EQ(hello["screenWidth"], 1920);
  EXPECT_EQ(hello["screenHeight"], 1080);
  EXPECT_EQ(hello["codec"], "h264");
  EXPECT_FALSE(hello.value("hostName", "").empty());
  EXPECT_EQ(run.stats.value("decodeErrors", -1), 0);
  EXPECT_GE(run.stats.value("frames", 0), 1);

  // Two points per quadrant, far apart, so that the pointer drawn into the picture (left
  // wherever earlier tests put it) cannot cover both.
  const std::string raw = commandOutput("ffmpeg -v error -i " + path("screen.png") +
                                        " -f rawvideo -pix_fmt rgb24 -");
  ASSERT_EQ(raw.size(), 1920u * 1080u * 3u);
  for (int q = 0; q < 4; ++q) {
    int matching = 0;
    for (const auto& [dx, dy] : {std::pair{240, 135}, std::pair{720, 405}}) {
      matching += near(pixelAt(raw, (q % 2) * 960 + dx, (q / 2) * 540 + dy), ScreenPainter::kQuadrants[q]);
    }
    EXPECT_GE(matching, 1) << "quadrant " << q;
  }
  const std::string probe = commandOutput(
      "ffprobe -v error -show_entries stream=codec_name,profile,width,height -of csv=p=0 " +
      path("screen.h264"));
  EXPECT_EQ(probe, "h264,High,1920,1080\n");
  EXPECT_EQ(WEXITSTATUS(host->terminate()), 0);
}

TEST_F(EndToEnd, ClientInputMovesThePointerAndTypesIntoTheFocusedWindow) {
  X11TestDisplay display;
  ASSERT_TRUE(display.connected());
  X11TestClient window(ScreenRect{100, 100, 400, 300});
  ASSERT_TRUE(window.ready());
  auto host = startHost();

  const std::string script = path("input.jsonl");
  std::ofstream(script) << R"({"input":{"kind":"mouseMove","x":0.25,"y":0.75}})" "\n"
                        << R"({"delayMs":100,"input":{"kind":"keyText","text":"héllo €"}})" "\n";
  const auto run = runClient({"127.0.0.1", "--pairing", pairing(), "--input", script,
                              "--seconds", "3", "--stats"});
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(display.pointer(), std::make_pair(480, 810));
  EXPECT_TRUE(window.waitFor([](const auto& events) {
    return X11TestClient::typedText(events) == "héllo €";
  })) << X11TestClient::typedText(window.take());
}

TEST_F(EndToEnd, ASlowClientKeepsTheHostsMemoryBoundedAndItsStreamDecodable) {
  ScreenPainter painter;
  painter.startAnimation(60);
  auto host = startHost();
  ChildProcess slow({kClient, "connect", "127.0.0.1", "--pairing", pairing(), "--read-rate", "1M",
                     "--seconds", "10", "--stats"});
  // Memory once the session streams, then the most it reaches while the backlog could grow.
  std::this_thread::sleep_for(2s);
  const long streaming = host->residentKiB();
  long most = streaming;
  for (int i = 0; i < 8; ++i) {
    std::this_thread::sleep_for(1s);
    most = std::max(most, host->residentKiB());
  }
  const int status = slow.wait(20s);
  painter.stopAnimation();
  const json::Json stats = statsOf(slow.output());
  EXPECT_EQ(WEXITSTATUS(status), 0) << slow.output();
  EXPECT_EQ(stats.value("decodeErrors", -1), 0) << slow.output();
  EXPECT_GT(stats.value("decodedFrames", 0), 0);
  EXPECT_LT(most - streaming, 20 * 1024) << "host memory grew from " << streaming << " KiB to " << most << " KiB";
  std::printf("slow client: host RSS %ld KiB at 2 s, at most %ld KiB until 10 s; %s frames decoded\n",
              streaming, most, stats.value("decodedFrames", json::Json()).dump().c_str());
}

TEST_F(EndToEnd, WithoutAnXDisplayTheClientStaysConnectedWithoutVideo) {
  auto host = startHost({"DISPLAY=:999", "QUORIN_BACKEND=x11"});
  const std::string script = path("input.jsonl");
  std::ofstream(script) << R"({"input":{"kind":"leftClick","x":0.5,"y":0.5}})" "\n"
                        << R"({"delayMs":200,"input":{"kind":"keyText","text":"a"}})" "\n";
  const auto run = runClient({"127.0.0.1", "--pairing", pairing(), "--input", script,
                              "--seconds", "3", "--stats"});
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_TRUE(run.stats.contains("hello") && run.stats["hello"].is_null()) << run.output;
  EXPECT_EQ(run.stats.value("frames", -1), 0);
  EXPECT_TRUE(host->waitForLine("Last error: ", 2s)) << host->output();
}

TEST_F(EndToEnd, SigtermEndsTheHostPromptlyDuringAFloodOfInput) {
  auto host = startHost();
  const std::string script = path("flood.jsonl");
  {
    std::ofstream out(script);
    std::string text;
    for (int i = 0; i < 30'000; ++i) text += "漢";
    for (int i = 0; i < 200'000; ++i) {
      out << R"({"input":{"kind":"mouseMove","x":)" << (i % 100) / 100.0 << R"(,"y":0.5}})" "\n";
      if (i % 1000 == 0) out << R"({"input":{"kind":"keyText","text":")" << text << "\"}}\n";
    }
  }
  ChildProcess flood({kClient, "connect", "127.0.0.1", "--pairing", pairing(), "--input", script,
                      "--seconds", "30"});
  ASSERT_TRUE(host->waitForLine("Connected client", 10s)) << host->output();
  std::this_thread::sleep_for(2s);
  const auto asked = std::chrono::steady_clock::now();
  const int status = host->terminate();
  const auto took = std::chrono::steady_clock::now() - asked;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << host->output();
  EXPECT_LT(took, 2s);
  std::printf("flood: the host ended %lld ms after SIGTERM\n",
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
}

TEST_F(EndToEnd, RepeatedSessionsLeaveTheHostsMemoryFlat) {
  ScreenPainter painter;
  painter.startAnimation(30);
  auto host = startHost();
  const std::string key = pairing();
  // Memory between sessions: the host ends a session shortly after its client leaves, so
  // give it a moment before reading.
  auto idleResidentKiB = [&] {
    std::this_thread::sleep_for(500ms);
    return host->residentKiB();
  };
  long afterWarmUp = 0;
  for (int cycle = 0; cycle < 50; ++cycle) {
    const auto run = runClient({"127.0.0.1", "--pairing", key, "--frames", "5"});
    ASSERT_EQ(run.exitCode, 0) << "cycle " << cycle << "\n" << run.output;
    if (cycle == 9) afterWarmUp = idleResidentKiB();
  }
  const long atEnd = idleResidentKiB();
  painter.stopAnimation();
  EXPECT_LT(atEnd - afterWarmUp, 8 * 1024) << afterWarmUp << " KiB -> " << atEnd << " KiB";
  std::printf("50 sessions: host RSS %ld KiB after 10, %ld KiB after 50\n", afterWarmUp, atEnd);
}

}  // namespace
}  // namespace quorin
