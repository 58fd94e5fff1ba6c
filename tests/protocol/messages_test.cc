#include <gtest/gtest.h>

#include "protocol/control_messages.h"
#include "protocol/frame.h"
#include "protocol/video_messages.h"

namespace quorin {
namespace {

// The event `text` decodes to, written again; "-" when it does not decode.
std::string reencoded(std::string_view text) {
  const auto event = json::decodeJson<InputEvent>(text);
  return event ? json::encodeJson(*event).value_or("?") : "-";
}

// Unknown fields and nulls are dropped, and only the fields present are written.
TEST(InputEvent, ReadingRules) {
  EXPECT_EQ(reencoded(R"({"kind":"mouseMove"})"), R"({"kind":"mouseMove"})");
  EXPECT_EQ(reencoded(R"({"kind":"scroll","x":5,"y":null,"dx":-1.5,"extra":{"a":1},"specialKey":"x"})"),
            R"({"dx":-1.5,"kind":"scroll","specialKey":"x","x":5.0})");
  for (const char* bad : {R"({"kind":"MouseMove"})", R"({"x":1})", R"({"kind":"mouseMove","x":"1"})",
                          R"({"kind":"keyText","text":5})", R"({"kind":"keyText","modifiers":"cmd"})",
                          "not json", R"({"kind":null})"}) {
    EXPECT_EQ(reencoded(bad), "-");
  }
}

// Wire names are exact and case-sensitive; modifier names are not.
TEST(ControlMessages, NamesOfKeysModifiersAndActions) {
  for (SpecialKey key : kAllSpecialKeys) EXPECT_EQ(specialKeyFromString(toString(key)), key);
  EXPECT_EQ(specialKeyFromString("return"), SpecialKey::returnKey);
  EXPECT_EQ(specialKeyFromString("delete"), SpecialKey::deleteKey);
  EXPECT_FALSE(specialKeyFromString("Return") || specialKeyFromString("returnKey"));
  EXPECT_EQ(parseModifiers(std::vector<std::string>{"CMD", "Alt", "junk", "SHIFT", "ctrl"}),
            (Modifiers{.command = true, .shift = true, .control = true, .option = true}));
  EXPECT_EQ(parseModifiers(std::nullopt), Modifiers{});
  EXPECT_EQ(json::decodeJson<SystemCommand>(R"({"action":"sleep"})")->action, SystemCommand::Action::sleep);
  EXPECT_FALSE(json::decodeJson<SystemCommand>(R"({"action":"Lock"})"));
}

TEST(HelloMessage, RoundTripsAndRequiresEveryField) {
  const auto text = json::encodeJson(HelloMessage{"Büro/PC", 1920, 1080});
  EXPECT_EQ(text, R"({"codec":"h264","hostName":"Büro\/PC","screenHeight":1080,"screenWidth":1920})");
  EXPECT_EQ(json::decodeJson<HelloMessage>(*text)->hostName, "Büro/PC");
  for (const char* bad : {R"({"hostName":"a","screenWidth":1,"screenHeight":1})",
                          R"({"hostName":"a","screenWidth":1.5,"screenHeight":1,"codec":"h264"})"}) {
    EXPECT_FALSE(json::decodeJson<HelloMessage>(bad)) << bad;
  }
}

TEST(VideoMessages, HeaderBytesPayloadLayoutAndConfig) {
  const VideoFrameHeader key{true, 1000000};
  EXPECT_EQ(key.encoded(), (Bytes{0x01, 0, 0, 0, 0, 0, 0x0F, 0x42, 0x40}));
  const Bytes frame = encodeFrame(MessageType::videoFrame, videoFramePayload(key, Bytes(1000, 9)));
  ASSERT_EQ(frame.size(), 1014u);
  EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 6), (Bytes{0x03, 0x00, 0x00, 0x03, 0xF1, 0x01}));
  EXPECT_EQ(VideoFrameHeader::decode(key.encoded())->header.ptsMicros, 1000000u);
  EXPECT_FALSE(VideoFrameHeader::decode(Bytes(8, 0)));
  EXPECT_FALSE(VideoFrameHeader::decode(Bytes{0x02, 0, 0, 0, 0, 0, 0, 0, 0})->header.isKeyframe);

  VideoConfig config{{Bytes{0x67, 0x64, 0xFF}, Bytes{0x68, 0xEE}}, 4};
  const auto text = json::encodeJson(config);
  EXPECT_EQ(text, R"({"nalUnitHeaderLength":4,"parameterSets":["Z2T\/","aO4="]})");
  EXPECT_EQ(json::decodeJson<VideoConfig>(*text), config);
  EXPECT_FALSE(json::decodeJson<VideoConfig>(R"({"parameterSets":["Z2T"],"nalUnitHeaderLength":4})"));
}

}  // namespace
}  // namespace quorin
