#include "client/client_program.h"

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>

#include "app/command_output.h"
#include "fakes/require_service.h"
#include "fakes/temporary_folder.h"
#include "identity/pairing_payload.h"
#include "tools/fake_host.h"

extern char** environ;

namespace quorin {
namespace {

namespace fs = std::filesystem;

struct Run {
  int status = -1;
  std::string out, err;
  json::Json stats;  // the --stats line, when there is one
};

Run runClient(const std::vector<std::string>& args) {
  std::ostringstream out, err;
  const std::atomic<bool> interrupted{false};
  Run run{quorin::runClient({args.begin(), args.end()}, out, err, interrupted), out.str(), err.str(), {}};
  if (auto stats = json::parseObject(run.out)) run.stats = *stats;
  return run;
}

bool says(const Run& run, const std::string& text) { return run.err.find(text) != std::string::npos; }

class ClientProgram : public ::testing::Test {
 protected:
  std::string file(const std::string& name, const std::string& contents = "") {
    const std::string path = (dir_.path / name).string();
    if (!contents.empty()) std::ofstream(path) << contents;
    return path;
  }
  static std::string address(const FakeHost& host) { return "127.0.0.1:" + std::to_string(host.port()); }

  const Bytes key_ = *SecureChannel::generateKey();
  const std::string pairing_ = PairingPayload("fake host", key_).encodedString();
  const TemporaryFolder dir_;
};

TEST_F(ClientProgram, DecodesTheStreamAndWritesSnapshotRecordingAndStats) {
  FakeHost host(key_, FakeHost::Screen::video);
  const std::string png = file("last.png"), h264 = file("stream.h264");
  const auto run = runClient({"connect", address(host), "--pairing", "@" + file("code", pairing_), "--frames",
                              "40", "--seconds", "20", "--snapshot", png, "--record", h264, "--stats"});
  ASSERT_EQ(run.status, kExitOk) << run.err;
  EXPECT_TRUE(says(run, R"(hello {"codec":"h264","hostName":"fake host","screenHeight":240,"screenWidth":320})"));

  const json::Json& stats = run.stats;
  EXPECT_EQ(stats["result"], "completed");
  EXPECT_EQ(stats["hello"]["hostName"], "fake host");
  const int frames = stats["frames"].get<int>();
  EXPECT_GE(frames, 40);
  EXPECT_EQ(stats["decodedFrames"], frames);
  EXPECT_EQ(stats["decodeErrors"], 0);
  EXPECT_GT(stats["frameRate"].get<double>(), 20.0);
  EXPECT_GT(stats["bitRate"].get<double>(), 2e6) << "heavy enough for the read-rate test to mean something";

  // Other readers take both files as they are.
  EXPECT_EQ(commandOutput("ffprobe -v error -count_frames -show_entries stream=codec_name,width,height,nb_read_frames "
                    "-of csv=p=0 " + h264),
            "h264,320,240," + std::to_string(frames) + "\n");
  EXPECT_EQ(commandOutput("ffprobe -v error -show_entries stream=codec_name,width,height -of csv=p=0 " + png),
            "png,320,240\n");
}

TEST_F(ClientProgram, SendsScriptedInputToAHostWithoutDisplay) {
  FakeHost host(key_, FakeHost::Screen::none);
  const std::string script = file("input.jsonl",
                                  "{\"input\":{\"kind\":\"mouseMove\",\"x\":0.5,\"y\":0.25}}\n"
                                  "{\"delayMs\":100,\"system\":{\"action\":\"lock\"}}\n");
  const auto run = runClient({"connect", address(host), "--pairing", pairing_, "--input", script, "--seconds",
                              "1", "--stats"});
  EXPECT_EQ(run.status, kExitOk) << run.err;
  EXPECT_TRUE(run.stats["hello"].is_null());
  EXPECT_EQ(run.stats["frames"], 0);
  EXPECT_EQ(run.stats["inputsSent"], 2);

  ASSERT_TRUE(host.client().waitForMessages(2));
  const auto received = host.client().messages();
  EXPECT_EQ(received[0].first, MessageType::input);
  EXPECT_EQ(textOf(received[0].second), R"({"kind":"mouseMove","x":0.5,"y":0.25})");
  EXPECT_EQ(received[1].first, MessageType::system);
  EXPECT_EQ(textOf(received[1].second), R"({"action":"lock"})");
}

TEST_F(ClientProgram, ConnectionFailuresAreToldApart) {
  FakeHost paired(key_, FakeHost::Screen::video);
  const auto wrongKey = runClient({"connect", address(paired), "--pairing",
                                   PairingPayload("fake host", *SecureChannel::generateKey()).encodedString(),
                                   "--stats"});
  EXPECT_EQ(wrongKey.status, kExitHandshake);
  EXPECT_TRUE(says(wrongKey, "the TLS handshake with " + address(paired) + " failed; is the pairing key right?"));
  EXPECT_EQ(wrongKey.stats["result"], "handshakeFailed");

  auto leaving = std::make_unique<FakeHost>(key_, FakeHost::Screen::video);
  const std::string where = address(*leaving);
  auto closed = std::async(std::launch::async, [&] {
    return runClient({"connect", where, "--pairing", pairing_, "--seconds", "20", "--stats"});
  });
  ASSERT_TRUE(leaving->client().waitForEvent("ready"));
  leaving.reset();
  const auto end = closed.get();
  EXPECT_EQ(end.status, kExitClosed) << end.err;
  EXPECT_TRUE(says(end, "the host closed the connection"));
  EXPECT_LT(end.stats["seconds"].get<double>(), 15.0);

  const auto refused = runClient({"connect", "127.0.0.1", "--port", where.substr(10), "--pairing", pairing_});
  EXPECT_EQ(refused.status, kExitUnreachable);
  EXPECT_TRUE(says(refused, "cannot connect to " + where + ": Connection refused")) << refused.err;
}

TEST_F(ClientProgram, BadVideoAndBadInputsAreReported) {
  FakeHost host(key_, FakeHost::Screen::undecodable);
  const std::string png = file("none.png");
  const auto undecodable = runClient({"connect", address(host), "--pairing", pairing_, "--seconds", "1",
                                      "--snapshot", png, "--stats"});
  EXPECT_EQ(undecodable.status, kExitUndecodable);
  EXPECT_TRUE(says(undecodable, "the video did not decode: ")) << undecodable.err;
  EXPECT_TRUE(says(undecodable, "cannot write " + png + ": no picture was decoded"));
  EXPECT_GT(undecodable.stats["decodeErrors"].get<int>(), 0);
  EXPECT_FALSE(fs::exists(png));

  const auto badPairing = runClient({"connect", "127.0.0.1", "--pairing", "{\"name\":\"x\"}"});
  EXPECT_EQ(badPairing.status, kExitUsage);
  EXPECT_TRUE(says(badPairing, "the pairing text is not a pairing code"));

  const std::string script = file("bad.jsonl", "{\"input\":{\"kind\":\"leftClick\"}}\n{\"input\":{}}\n");
  const auto badScript = runClient({"connect", "127.0.0.1", "--pairing", pairing_, "--input", script});
  EXPECT_EQ(badScript.status, kExitUsage);
  EXPECT_TRUE(says(badScript, script + ": line 2: \"input\" is not a valid input event"));
}

TEST_F(ClientProgram, AReadRateHoldsTheStreamBackWithoutBreakingIt) {
  FakeHost host(key_, FakeHost::Screen::video);
  const auto run = runClient({"connect", address(host), "--pairing", pairing_, "--read-rate", "40k",
                              "--seconds", "1.5", "--stats"});
  EXPECT_EQ(run.status, kExitOk) << run.err;
  // The pace is kept after each frame has come in, so at most one frame more gets through.
  EXPECT_LE(run.stats["bytes"].get<double>(), 40'000 * 1.5 + 64'000);
  EXPECT_GT(run.stats["decodedFrames"].get<int>(), 0);
  EXPECT_EQ(run.stats["decodeErrors"], 0);
}

TEST_F(ClientProgram, FindsTheHostNamedInThePairingCodeByBrowsing) {
  QUORIN_REQUIRE(std::system("avahi-daemon --check 2>/dev/null") == 0,
                 "avahi-daemon is not running; run through scripts/test");
  FakeHost host(key_, FakeHost::Screen::video);
  const std::string name = "client test " + std::to_string(getpid()), port = std::to_string(host.port());
  const char* argv[] = {"avahi-publish-service", name.c_str(), "_quorinremote._tcp", port.c_str(), nullptr};
  pid_t advertiser = -1;
  ASSERT_EQ(posix_spawnp(&advertiser, argv[0], nullptr, nullptr, const_cast<char**>(argv), environ), 0);

  const auto found = runClient({"connect", "--pairing", PairingPayload(name, key_).encodedString(), "--frames",
                                "5", "--timeout", "10", "--seconds", "10"});
  EXPECT_EQ(found.status, kExitOk) << found.err;
  EXPECT_TRUE(says(found, "found \"" + name + "\" at 127.0.0.1:" + port)) << found.err;
  const auto listing = runClient({"browse"});
  EXPECT_NE(listing.out.find(name + "\t127.0.0.1\t" + port + "\n"), std::string::npos) << listing.out;
  const auto stranger = runClient({"connect", "--pairing", PairingPayload("nobody", key_).encodedString(),
                                   "--timeout", "1.5"});
  EXPECT_EQ(stranger.status, kExitUnreachable);
  EXPECT_TRUE(says(stranger, "no host named \"nobody\" is advertised on the local network"));

  kill(advertiser, SIGTERM);
  waitpid(advertiser, nullptr, 0);
}

}  // namespace
}  // namespace quorin
