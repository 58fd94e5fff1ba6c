#include <gtest/gtest.h>

#include "protocol/control_messages.h"
#include "protocol/frame.h"
#include "protocol/video_messages.h"

namespace quorin {
namespace {

std::optional<InputEvent> input(std::string_view text) { return json::decodeJson<InputEvent>(text); }

TEST(InputEvent, ReadingRules) {
  auto bare = input(R"({"kind":"mouseMove"})");
  ASSERT_TRUE(bare);
  EXPECT_FALSE(bare->x || bare->y || bare->dx || bare->dy || bare->text || bare->specialKey ||
               bare->modifiers);

  auto full = input(R"({"kind":"scroll","x":5,"y":null,"dx":-1.5,"extra":{"a":1},"specialKey":"returnKey"})");
  ASSERT_TRUE(full);
  EXPECT_EQ(full->kind, InputEvent::Kind::scroll);
  EXPECT_EQ(full->x, 5.0);
  EXPECT_FALSE(full->y);
  EXPECT_EQ(full->dx, -1.5);
  EXPECT_EQ(full->specialKey, "returnKey");  // decodes, names no key
  EXPECT_FALSE(specialKeyFromString(*full->specialKey));

  for (const char* bad : {R"({"kind":"MouseMove"})", R"({"x":1})", R"({"kind":"mouseMove","x":"1"})",
                          R"({"kind":"keyText","text":5})", R"({"kind":"keyText","modifiers":"cmd"})",
                          "not json", R"({"kind":null})"}) {
    EXPECT_FALSE(input(bad)) << bad;
  }
  InputEvent e;
  e.kind = InputEvent::Kind::keyText;
  EXPECT_EQ(json::encodeJson(e), R"({"kind":"keyText"})");  // only present fields
}

// Wire names are exact and case-sensitive; modifier names are not.
TEST(ControlMessages, NamesOfKeysModifiersAndActions) {
  for (SpecialKey key : kAllSpecialKeys) EXPECT_EQ(specialKeyFromString(toString(key)), key);
  EXPECT_EQ(specialKeyFromString("return"), SpecialKey::returnKey);
  EXPECT_EQ(specialKeyFromString("delete"), SpecialKey::deleteKey);
  EXPECT_FALSE(specialKeyFromString("Return"));
  EXPECT_EQ(parseModifiers(std::vector<std::string>{"CMD", "Alt", "junk", "SHIFT", "ctrl"}),
            (Modifiers{.command = true, .shift = true, .control = true, .option = true}));
  EXPECT_EQ(parseModifiers(std::nullopt), Modifiers{});
  EXPECT_EQ(json::decodeJson<SystemCommand>(R"({"action":"sleep"})")->action,
            SystemCommand::Action::sleep);
  EXPECT_FALSE(json::decodeJson<SystemCommand>(R"({"action":"Lock"})"));
}

TEST(HelloMessage, RoundTripsAndRequiresEveryField) {
  const auto text = json::encodeJson(HelloMessage{"Büro/PC", 1920, 1080});
  EXPECT_EQ(text, R"({"codec":"h264","hostName":"Büro\/PC","screenHeight":1080,"screenWidth":1920})");
  EXPECT_EQ(json::decodeJson<HelloMessage>(*text)->hostName, "Büro/PC");
  EXPECT_FALSE(json::decodeJson<HelloMessage>(R"({"hostName":"a","screenWidth":1,"screenHeight":1})"));
  EXPECT_FALSE(json::decodeJson<HelloMessage>(
      R"({"hostName":"a","screenWidth":1.5,"screenHeight":1,"codec":"h264"})"));
}

TEST(VideoMessages, HeaderBytesAndPayloadLayout) {
  const VideoFrameHeader key{true, 1000000};
  EXPECT_EQ(key.encoded(), (Bytes{0x01, 0, 0, 0, 0, 0, 0x0F, 0x42, 0x40}));
  const Bytes frame = encodeFrame(MessageType::videoFrame, videoFramePayload(key, Bytes(1000, 9)));
  ASSERT_EQ(frame.size(), 1014u);
  EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 6), (Bytes{0x03, 0x00, 0x00, 0x03, 0xF1, 0x01}));

  auto nine = VideoFrameHeader::decode(key.encoded());
  ASSERT_TRUE(nine);
  EXPECT_EQ(nine->header.ptsMicros, 1000000u);
  EXPECT_FALSE(VideoFrameHeader::decode(Bytes(8, 0)));
  EXPECT_FALSE(VideoFrameHeader::decode(Bytes{0x02, 0, 0, 0, 0, 0, 0, 0, 0})->header.isKeyframe);
}

TEST(VideoMessages, ConfigKeepsOrderAndWritesPlainInteger) {
  VideoConfig config{{Bytes{0x67, 0x64, 0xFF}, Bytes{0x68, 0xEE}}, 4};
  const auto text = json::encodeJson(config);
  ASSERT_TRUE(text);
  EXPECT_EQ(*text, R"({"nalUnitHeaderLength":4,"parameterSets":["Z2T\/","aO4="]})");
  EXPECT_EQ(json::decodeJson<VideoConfig>(*text), config);
  EXPECT_FALSE(json::decodeJson<VideoConfig>(R"({"parameterSets":["Z2T"],"nalUnitHeaderLength":4})"));
}

}  // namespace
}  // namespace quorin
