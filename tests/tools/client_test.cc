// The client's parts on their own: options, input scripts, and the video path.

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <tuple>

#include "client/annex_b.h"
#include "client/client_options.h"
#include "client/input_script.h"
#include "client/video_receiver.h"
#include "tools/test_video.h"

namespace quorin {
namespace {

ParsedOptions parse(std::vector<std::string_view> args) { return parseClientOptions(args); }

TEST(ClientOptions, HostAndPortSpellings) {
  const std::vector<std::tuple<std::string_view, std::string, std::optional<std::uint16_t>>> cases = {
      {"studio.local", "studio.local", std::nullopt}, {"127.0.0.1:4000", "127.0.0.1", 4000},
      {"[fe80::1%eth0]:4000", "fe80::1%eth0", 4000}, {"::1", "::1", std::nullopt}};
  for (const auto& [text, host, port] : cases) {
    const auto parsed = parse({"connect", text, "--pairing", "x"});
    EXPECT_EQ(std::tuple(parsed.error, parsed.options.host, parsed.options.port), std::tuple("", host, port)) << text;
  }
  const auto valued = parse({"connect", "h", "--pairing=@f", "--port", "5000", "--read-rate=1.5M"}).options;
  EXPECT_EQ(std::tuple(valued.pairing, valued.port, valued.readRate), std::tuple("@f", 5000, 1'500'000u));
}

TEST(ClientOptions, RefusesWhatItCannotUse) {
  const std::vector<std::pair<std::vector<std::string_view>, std::string>> cases = {
      {{}, "no command given"},
      {{"connect", "h"}, "connect needs --pairing"},
      {{"connect", "h:80", "--pairing", "x", "--port", "81"}, "the port is given twice, in HOST:PORT and --port"},
      {{"connect", "--pairing", "x", "--port", "81"}, "--port needs HOST; a found host's own port is used"},
      {{"connect", "h:0", "--pairing", "x"}, "\"h:0\" is not a host or host:port"},
      {{"connect", "a", "b", "--pairing", "x"}, "unexpected argument \"b\""},
      {{"connect", "h", "--pairing"}, "--pairing needs a value"},
      {{"connect", "h", "--pairing", "x", "--frames", "0"}, "bad value for --frames: \"0\""},
      {{"connect", "h", "--pairing", "x", "--read-rate", "0k"}, "bad value for --read-rate: \"0k\""},
      {{"connect", "h", "--pairing", "x", "--stats=yes"}, "--stats takes no value"},
  };
  for (const auto& [args, error] : cases) EXPECT_EQ(parse(args).error, error);
}

TEST(InputScript, KeepsEachDelayAndNamesABadLineWithItsNumber) {
  const std::string good = "{\"input\":{\"kind\":\"leftClick\"}}\n\n";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"{\"input\":{\"kind\":\"MouseMove\"}}", "\"input\" is not a valid input event"},
      {"{\"system\":{\"action\":\"reboot\"}}", "\"system\" is not a valid system command"},
      {"{\"input\":{\"kind\":\"tab\"},\"system\":{\"action\":\"lock\"}}", "needs exactly one of \"input\" and \"system\""},
      {"{\"delay\":5}", "unknown key \"delay\" (expected \"input\", \"system\" or \"delayMs\")"},
      {"{\"delayMs\":2.5}", "\"delayMs\" must be a whole number of milliseconds from 0"},
      {"{\"input\":{\"kind\":\"leftClick\"}", "not a JSON object"},
  };
  for (const auto& [line, why] : cases) {
    const auto script = parseInputScript(good + line + "\n" + good);
    EXPECT_EQ(script.error, "line 3: " + why) << line;
    EXPECT_TRUE(script.messages.empty()) << line;
  }
  // Each line waits its own delay after the one before it.
  const auto script = parseInputScript(good + "{\"delayMs\": 250, \"system\": {\"action\": \"lock\"}}\n");
  ASSERT_EQ(script.messages.size(), 2u) << script.error;
  EXPECT_EQ(script.messages[0].delay.count(), 0);
  EXPECT_EQ(script.messages[1].delay.count(), 250);
}

constexpr int kWidth = kTestVideoWidth;
constexpr int kHeight = kTestVideoHeight;

using Counts = std::tuple<std::uint64_t, std::uint64_t, std::uint64_t>;  // decoded, errors, skipped

// Feeds messages to a receiver as the client does and keeps what comes out.
struct Playback {
  explicit Playback(const std::vector<WireMessage>& messages) {
    receiver.onPicture = [this](const DecodedFrame& frame) { pictures.push_back(frame); };
    receiver.onAccessUnit = [this](ByteView unit) { recorded.insert(recorded.end(), unit.begin(), unit.end()); };
    for (const auto& message : messages) {
      if (message.type == MessageType::videoConfig) receiver.handleConfig(message.payload);
      if (message.type == MessageType::videoFrame) receiver.handleFrame(message.payload, std::chrono::steady_clock::now());
    }
  }
  Counts counts() const {
    const VideoStats& stats = receiver.stats();
    return {stats.decodedFrames, stats.decodeErrors, stats.skippedFrames};
  }
  VideoReceiver receiver;
  std::vector<DecodedFrame> pictures;
  Bytes recorded;
};

std::vector<WireMessage> without(std::vector<WireMessage> messages, std::vector<std::size_t> indices) {
  for (auto i = indices.rbegin(); i != indices.rend(); ++i) messages.erase(messages.begin() + long(*i));
  return messages;
}

void expectNear(const std::vector<std::uint8_t>& bgra, int x, int y, std::array<int, 3> bgr) {
  const std::uint8_t* pixel = &bgra[(std::size_t(y) * kWidth + x) * 4];
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(pixel[i], bgr[i], 12) << "channel " << i << " at " << x << "," << y;
}

TEST(VideoReceiver, DecodesTheHostStreamWithItsColoursAndTimes) {
  ASSERT_EQ(testVideo().size(), 12u);
  Playback playback(testVideo());

  const VideoStats& stats = playback.receiver.stats();
  EXPECT_EQ(std::tuple(stats.configs, stats.frames, stats.keyFrames), (Counts{2, 10, 2}));
  EXPECT_EQ(playback.counts(), (Counts{10, 0, 0}));
  ASSERT_EQ(playback.pictures.size(), 10u);

  const DecodedFrame& key = playback.pictures[5];
  EXPECT_EQ(std::pair(key.header.isKeyframe, key.header.ptsMicros), std::pair(true, std::uint64_t(2'100'000)));
  EXPECT_GE(key.decodedAt, key.receivedAt);
  EXPECT_EQ(std::pair(key.picture.width(), key.picture.height()), std::pair(kWidth, kHeight));
  // Limited-range BT.601 in the stream must come back as full-range RGB.
  const auto bgra = playback.pictures.back().picture.toBgra();
  ASSERT_EQ(bgra.size(), std::size_t(kWidth) * kHeight * 4);
  expectNear(bgra, kWidth / 4, kHeight * 3 / 4, {0, 0, 255});
  expectNear(bgra, kWidth * 3 / 4, kHeight * 3 / 4, {255, 0, 0});

  // The recording starts with the parameter sets, so a file reader can begin there.
  ASSERT_GT(playback.recorded.size(), 5u);
  EXPECT_EQ(Bytes(playback.recorded.begin(), playback.recorded.begin() + 5), (Bytes{0, 0, 0, 1, 0x67}));
}

TEST(VideoReceiver, WaitsForAKeyFrameThatHasAConfiguration) {
  Playback midStream(without(testVideo(), {0, 1}));  // joins after the first configuration and key frame
  EXPECT_EQ(midStream.counts(), (Counts{5, 0, 4}));
  ASSERT_FALSE(midStream.pictures.empty());
  EXPECT_TRUE(midStream.pictures.front().header.isKeyframe);

  Playback noConfiguration(without(testVideo(), {0, 6}));
  EXPECT_EQ(noConfiguration.counts(), (Counts{0, 0, 10}));
  EXPECT_TRUE(noConfiguration.recorded.empty());
}

TEST(VideoReceiver, CountsErrorsAndStartsAgainAtTheNextKeyFrame) {
  auto badLength = testVideo();
  badLength[3].payload[9] = 0x7F;  // the third frame's first NAL length now runs past its end
  Playback lengths(badLength);
  EXPECT_EQ(lengths.counts(), (Counts{7, 1, 2})) << "skipped: the frames that refer to it";

  auto badConfig = testVideo();
  badConfig[6].payload = bytesOf(R"({"parameterSets":[],"nalUnitHeaderLength":4})");
  badConfig[4].payload.resize(5);  // and a frame too short for its header
  Playback configs(badConfig);
  EXPECT_EQ(configs.counts(), (Counts{3, 2, 6}));

  // Slices of noise under correct lengths: the decoder itself must refuse them.
  auto noise = testVideo();
  std::srand(7);
  for (auto& message : noise) {
    if (message.type != MessageType::videoFrame) continue;
    for (std::size_t i = 9 + 5; i < message.payload.size(); ++i) message.payload[i] = std::uint8_t(std::rand());
  }
  Playback garbage(noise);
  EXPECT_EQ(garbage.counts(), (Counts{0, 2, 8})) << "one error per key frame; the rest wait";
}

TEST(VideoStats, RatesAndKeyFrameSpacingCoverTheSpanBetweenFrames) {
  VideoStats stats;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i <= 10; ++i) {
    EXPECT_EQ(stats.frameRate().has_value(), i >= 2) << "two frames make the first span";
    stats.countFrame(i % 5 == 0, std::uint64_t(i) * 100'000, 1000, start + std::chrono::milliseconds(10 * i));
  }
  EXPECT_DOUBLE_EQ(*stats.frameRate(), 100.0);
  EXPECT_DOUBLE_EQ(*stats.bitRate(), 10 * 1000 * 8 / 0.1) << "the first frame's bytes came before the span";
  EXPECT_DOUBLE_EQ(*stats.keyFrameIntervalFrames(), 5.0);
  EXPECT_DOUBLE_EQ(*stats.keyFrameIntervalSeconds(), 0.5);
  EXPECT_TRUE(StreamStats{}.toJson().at("frameRate").is_null());
}

TEST(AnnexB, EveryUnitGetsAStartCodeOrThePictureIsRejectedWhole) {
  Bytes out = {9};  // appending keeps what was there
  ASSERT_TRUE(annexb::appendPicture(out, Bytes{0, 0, 0, 2, 0x65, 0xAA, 0, 0, 0, 1, 0x41}, 4));
  EXPECT_EQ(out, (Bytes{9, 0, 0, 0, 1, 0x65, 0xAA, 0, 0, 0, 1, 0x41}));
  out.clear();
  ASSERT_TRUE(annexb::appendPicture(out, Bytes{1, 0x06, 2, 0x65, 0x01}, 1));
  EXPECT_EQ(out, (Bytes{0, 0, 0, 1, 0x06, 0, 0, 0, 1, 0x65, 0x01}));

  // A picture that is out of step is rejected whole.
  const std::vector<std::pair<const char*, Bytes>> broken = {
      {"length past the end", {0, 0, 0, 1, 0x65, 0, 0, 0, 9, 0x41}},
      {"cut inside a length", {0, 0, 0, 1, 0x65, 0, 0}},
      {"empty unit", {0, 0, 0, 1, 0x65, 0, 0, 0, 0}},
      {"empty picture", {}},
  };
  for (const auto& [why, picture] : broken) {
    Bytes kept = {7, 7};
    EXPECT_FALSE(annexb::appendPicture(kept, picture, 4)) << why;
    EXPECT_EQ(kept, (Bytes{7, 7})) << why << ": nothing of it is kept";
  }
  EXPECT_FALSE(annexb::appendPicture(out, Bytes{1, 0x65}, 0));
  EXPECT_FALSE(annexb::appendPicture(out, Bytes{0, 0, 0, 0, 1, 0x65}, 5));
}

}  // namespace
}  // namespace quorin
