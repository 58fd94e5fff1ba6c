#include <gtest/gtest.h>

#include <ranges>

#include "protocol/byte_order.h"
#include "protocol/control_messages.h"
#include "protocol/frame.h"
#include "protocol/video_messages.h"

namespace quorin {
namespace {

using Messages = std::vector<std::pair<MessageType, Bytes>>;

Bytes frameBytes(std::uint8_t code, const Bytes& payload) {
  Bytes out{code};
  appendBigEndian(out, static_cast<std::uint32_t>(payload.size()));
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

// Every chunking gives the same messages in order; unassigned codes are consumed silently
// and a partial frame stays buffered.
TEST(FrameExtractor, CutsFramesAcrossAnyChunking) {
  Bytes stream;
  for (const Bytes& f : {frameBytes(0x01, bytesOf("{\"a\":1}")), frameBytes(0x04, bytesOf("junk")),
                         frameBytes(0x1F, {}), frameBytes(0x10, Bytes(70000, 7)),
                         frameBytes(0x11, bytesOf("{}"))}) {
    stream.insert(stream.end(), f.begin(), f.end());
  }
  stream.insert(stream.end(), {0x01, 0x00, 0x00});  // a header cut short
  const Messages expected{{MessageType::hello, bytesOf("{\"a\":1}")},
                          {MessageType::ping, {}},
                          {MessageType::input, Bytes(70000, 7)},
                          {MessageType::system, bytesOf("{}")}};

  for (std::size_t chunk : {1u, 2u, 3u, 5u, 4096u, 1u << 20}) {
    FrameExtractor extractor;
    Messages got;
    for (std::size_t at = 0; at < stream.size(); at += chunk) {
      extractor.append(ByteView(stream).subspan(at, std::min(chunk, stream.size() - at)));
      for (auto r = extractor.next(); auto* m = std::get_if<FrameExtractor::Message>(&r); r = extractor.next()) {
        got.emplace_back(m->type, std::move(m->payload));
      }
    }
    EXPECT_TRUE(got == expected) << "chunk " << chunk;
    EXPECT_EQ(extractor.buffered(), 3u);
  }
  auto assigned = [](int code) { return messageTypeFromCode(code).has_value(); };
  EXPECT_EQ(std::ranges::count_if(std::views::iota(0, 256), assigned), 6);
}

TEST(FrameExtractor, RefusesAnOversizeFrameWithoutBufferingIt) {
  EXPECT_FALSE(readBigEndian<std::uint64_t>(Bytes(12, 0), 5)) << "reads nothing past the end";
  FrameExtractor extractor(1024);
  extractor.append(frameBytes(0x01, Bytes(1024, 1)));
  extractor.append(Bytes{0x03, 0xFF, 0xFF, 0xFF, 0xFF});
  EXPECT_TRUE(std::holds_alternative<FrameExtractor::Message>(extractor.next()));
  auto result = extractor.next();
  ASSERT_TRUE(std::holds_alternative<FrameExtractor::Oversize>(result));
  EXPECT_EQ(std::get<FrameExtractor::Oversize>(result).announced, 0xFFFFFFFFu);
  extractor.append(Bytes(4096, 0));
  EXPECT_EQ(extractor.buffered(), 0u);
  EXPECT_TRUE(std::holds_alternative<FrameExtractor::Oversize>(extractor.next()));
}

// The event `text` decodes to, written again; "-" when it does not decode.
std::string reencoded(std::string_view text) {
  const auto event = json::decodeJson<InputEvent>(text);
  return event ? json::encodeJson(*event).value_or("?") : "-";
}

// Unknown fields and nulls are dropped, and only the fields present are written.
TEST(InputEvent, ReadingRules) {
  EXPECT_EQ(reencoded(R"({"kind":"mouseMove"})"), R"({"kind":"mouseMove"})");
  EXPECT_EQ(reencoded(R"({"kind":"scroll","x":5,"y":null,"dx":-1.5,"extra":{},"specialKey":"x","modifiers":["a"]})"),
            R"({"dx":-1.5,"kind":"scroll","modifiers":["a"],"specialKey":"x","x":5.0})");
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
  EXPECT_FALSE(json::decodeJson<HelloMessage>(R"({"hostName":"a","screenWidth":1,"screenHeight":1})"));
  EXPECT_FALSE(json::decodeJson<HelloMessage>(R"({"hostName":"a","screenWidth":1.5,"screenHeight":1,"codec":"h264"})"));
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
