#include "client/client_program.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>

#include "app/command_output.h"
#include "fakes/temporary_folder.h"
#include "identity/pairing_payload.h"
#include "protocol/control_messages.h"
#include "tools/test_video.h"
#include "transport/channel_harness.h"

namespace quorin {
namespace {

// A loopback TLS-PSK listener on a free port that serves its first connection (one client
// per host) as the real host does: the greeting, then `stream` over and over, a frame every
// 16 ms. What the client sends is in client(); at destruction the connection ends as it
// does when a host goes away.
class FakeHost {
 public:
  FakeHost(Bytes key, std::vector<WireMessage> stream)
      : harness_(SecureChannel::parameters(key).tls), feeder_([this, stream] { serve(stream); }) {}
  ~FakeHost() {
    running_ = false;
    feeder_.join();
  }

  std::uint16_t port() const { return harness_.port(); }
  Recorder& client() { return harness_.serverSide; }

 private:
  void serve(const std::vector<WireMessage>& stream) {
    while (running_ && !client().waitForEvent("ready", std::chrono::milliseconds(20))) {
    }
    if (!running_) return;
    auto channel = harness_.serverChannel();
    channel->sendJSON(MessageType::hello, HelloMessage{"fake host", kTestVideoWidth, kTestVideoHeight});
    for (std::size_t i = 0; running_; ++i) {
      const WireMessage& message = stream[i % stream.size()];
      channel->send(message.type, message.payload);
      if (message.type == MessageType::videoFrame) std::this_thread::sleep_for(std::chrono::milliseconds(16));
    }
  }

  ChannelHarness harness_;
  std::atomic<bool> running_{true};
  std::thread feeder_;
};

struct Run {
  int status = -1;
  std::string err;
  json::Json stats;  // the --stats line, when there is one
  bool says(const std::string& text) const { return err.find(text) != std::string::npos; }
};

Run runClient(const std::vector<std::string>& args) {
  std::ostringstream out, err;
  const std::atomic<bool> interrupted{false};
  Run run{quorin::runClient({args.begin(), args.end()}, out, err, interrupted), err.str(), {}};
  if (auto stats = json::parseObject(out.str())) run.stats = *stats;
  return run;
}

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

TEST_F(ClientProgram, SendsScriptedInputWhileAReadRateHoldsTheStreamBack) {
  FakeHost host(key_, testVideo());
  const std::string script = file("input.jsonl",
                                  "{\"input\":{\"kind\":\"keyText\",\"text\":\"h\\u00e9\"}}\r\n\n"
                                  "  {\"delayMs\": 100, \"system\": {\"action\": \"lock\"}}");
  const std::string h264 = file("stream.h264");
  const auto run = runClient({"connect", address(host), "--pairing", "@" + file("code", pairing_), "--input",
                              script, "--read-rate", "40k", "--seconds", "1.5", "--record", h264, "--stats"});
  ASSERT_EQ(run.status, kExitOk) << run.err;
  // The pace is kept after each frame has come in, so at most one frame more gets through.
  EXPECT_LE(run.stats["bytes"].get<double>(), 40'000 * 1.5 + 64'000);
  const int frames = run.stats["frames"].get<int>();
  EXPECT_GT(frames, 1);
  EXPECT_EQ(run.stats["decodedFrames"], frames);
  EXPECT_EQ(run.stats["decodeErrors"], 0);
  EXPECT_EQ(run.stats["inputsSent"], 2);
  // Every frame received was recorded, as other readers see it.
  EXPECT_EQ(commandOutput("ffprobe -v error -count_frames -show_entries stream=nb_read_frames -of csv=p=0 " + h264),
            std::to_string(frames) + "\n");

  ASSERT_TRUE(host.client().waitForMessages(2));
  EXPECT_EQ(host.client().messages(), (std::vector<std::pair<MessageType, Bytes>>{
                                          {MessageType::input, bytesOf("{\"kind\":\"keyText\",\"text\":\"h\xc3\xa9\"}")},
                                          {MessageType::system, bytesOf(R"({"action":"lock"})")}}));
}

TEST_F(ClientProgram, ConnectionFailuresAreToldApart) {
  FakeHost paired(key_, testVideo());
  const auto wrongKey = runClient({"connect", address(paired), "--pairing",
                                   PairingPayload("fake host", *SecureChannel::generateKey()).encodedString(),
                                   "--stats"});
  EXPECT_EQ(wrongKey.status, kExitHandshake);
  EXPECT_TRUE(wrongKey.says("the TLS handshake with " + address(paired) + " failed; is the pairing key right?"));
  EXPECT_EQ(wrongKey.stats["result"], "handshakeFailed");

  auto leaving = std::make_unique<FakeHost>(key_, testVideo());
  const std::string where = address(*leaving);
  auto closed = std::async(std::launch::async, [&] {
    return runClient({"connect", where, "--pairing", pairing_, "--seconds", "20", "--stats"});
  });
  ASSERT_TRUE(leaving->client().waitForEvent("ready"));
  leaving.reset();
  const auto end = closed.get();
  EXPECT_EQ(end.status, kExitClosed) << end.err;
  EXPECT_TRUE(end.says("the host closed the connection"));
  EXPECT_LT(end.stats["seconds"].get<double>(), 15.0);

  const auto refused = runClient({"connect", "127.0.0.1", "--port", where.substr(10), "--pairing", pairing_});
  EXPECT_EQ(refused.status, kExitUnreachable);
  EXPECT_TRUE(refused.says("cannot connect to " + where + ": Connection refused")) << refused.err;
}

TEST_F(ClientProgram, BadVideoAndBadInputsAreReported) {
  const VideoConfig config{{Bytes{0x67, 0x42}, Bytes{0x68, 0x01}}, 4};
  FakeHost host(key_, {{MessageType::videoConfig, bytesOf(*json::encodeJson(config))},
                       {MessageType::videoFrame, videoFramePayload({true, 0}, Bytes{0, 0, 0, 3, 0x65, 0x88, 0x84})}});
  const std::string png = file("none.png");
  const auto undecodable = runClient({"connect", address(host), "--pairing", pairing_, "--seconds", "1",
                                      "--snapshot", png, "--stats"});
  EXPECT_EQ(undecodable.status, kExitUndecodable);
  EXPECT_TRUE(undecodable.says("the video did not decode: ")) << undecodable.err;
  EXPECT_TRUE(undecodable.says("cannot write " + png + ": no picture was decoded"));
  EXPECT_GT(undecodable.stats["decodeErrors"].get<int>(), 0);
  EXPECT_FALSE(std::filesystem::exists(png));

  const auto badPairing = runClient({"connect", "127.0.0.1", "--pairing", "{\"name\":\"x\"}"});
  EXPECT_EQ(badPairing.status, kExitUsage);
  EXPECT_TRUE(badPairing.says("the pairing text is not a pairing code"));

  const std::string script = file("bad.jsonl", "{\"input\":{\"kind\":\"leftClick\"}}\n{\"input\":{}}\n");
  const auto badScript = runClient({"connect", "127.0.0.1", "--pairing", pairing_, "--input", script});
  EXPECT_EQ(badScript.status, kExitUsage);
  EXPECT_TRUE(badScript.says(script + ": line 2: \"input\" is not a valid input event"));
}

}  // namespace
}  // namespace quorin
