#include <gtest/gtest.h>

#include "protocol/byte_order.h"
#include "protocol/frame.h"

namespace quorin {
namespace {

Bytes frameBytes(std::uint8_t code, const Bytes& payload) {
  Bytes out{code};
  appendBigEndian(out, static_cast<std::uint32_t>(payload.size()));
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

TEST(Frame, HeaderIsBigEndianAndCodesExact) {
  EXPECT_FALSE(readBigEndian<std::uint64_t>(Bytes(12, 0), 5)) << "reads nothing past the end";

  const Bytes frame = encodeFrame(MessageType::videoFrame, Bytes(1000, 0xAB));
  ASSERT_EQ(frame.size(), 1005u);
  EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 5), (Bytes{0x03, 0x00, 0x00, 0x03, 0xE8}));
  int assigned = 0;
  for (int code = 0; code < 256; ++code) assigned += messageTypeFromCode(code).has_value();
  EXPECT_EQ(assigned, 6);
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

  for (std::size_t chunk : {1u, 2u, 3u, 5u, 4096u, 1u << 20}) {
    FrameExtractor extractor;
    std::vector<FrameExtractor::Message> got;
    for (std::size_t at = 0; at < stream.size(); at += chunk) {
      extractor.append(ByteView(stream).subspan(at, std::min(chunk, stream.size() - at)));
      for (auto r = extractor.next(); auto* m = std::get_if<FrameExtractor::Message>(&r); r = extractor.next()) {
        got.push_back(std::move(*m));
      }
    }
    ASSERT_EQ(got.size(), 4u) << "chunk " << chunk;
    EXPECT_EQ(textOf(got[0].payload), "{\"a\":1}");
    EXPECT_EQ(got[1].type, MessageType::ping);
    EXPECT_TRUE(got[1].payload.empty());
    EXPECT_EQ(got[2].payload, Bytes(70000, 7));
    EXPECT_EQ(got[3].type, MessageType::system);
    EXPECT_EQ(extractor.buffered(), 3u);
  }
}

TEST(FrameExtractor, RefusesAnOversizeFrameWithoutBufferingIt) {
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

}  // namespace
}  // namespace quorin
