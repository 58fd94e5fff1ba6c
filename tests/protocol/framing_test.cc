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

std::vector<FrameExtractor::Message> drain(FrameExtractor& extractor) {
  std::vector<FrameExtractor::Message> out;
  for (;;) {
    auto result = extractor.next();
    auto* message = std::get_if<FrameExtractor::Message>(&result);
    if (!message) return out;
    out.push_back(std::move(*message));
  }
}

TEST(ByteOrder, RoundTripsAndRefusesShortReads) {
  Bytes b;
  appendBigEndian<std::uint32_t>(b, 0x01020304u);
  appendBigEndian<std::uint64_t>(b, 0x1122334455667788ull);
  EXPECT_EQ(b, (Bytes{1, 2, 3, 4, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}));
  EXPECT_EQ(readBigEndian<std::uint32_t>(b, 0), 0x01020304u);
  EXPECT_EQ(readBigEndian<std::uint64_t>(b, 4), 0x1122334455667788ull);
  EXPECT_FALSE(readBigEndian<std::uint64_t>(b, 5));
  EXPECT_FALSE(readBigEndian<std::uint32_t>(b, 100));
}

TEST(Frame, EncodesHeaderAndPayloadContiguously) {
  const Bytes frame = encodeFrame(MessageType::videoFrame, Bytes(1000, 0xAB));
  ASSERT_EQ(frame.size(), 1005u);
  EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 5), (Bytes{0x03, 0x00, 0x00, 0x03, 0xE8}));
  EXPECT_EQ(encodeFrame(MessageType::ping, {}), (Bytes{0x1F, 0, 0, 0, 0}));
}

TEST(Frame, MessageTypeCodesAreExactlyTheAssignedOnes) {
  int assigned = 0;
  for (int code = 0; code < 256; ++code) {
    if (auto type = messageTypeFromCode(static_cast<std::uint8_t>(code))) {
      EXPECT_EQ(rawValue(*type), code);
      ++assigned;
    }
  }
  EXPECT_EQ(assigned, 6);
  EXPECT_FALSE(messageTypeFromCode(0x04));
  EXPECT_FALSE(messageTypeFromCode(0x12));
  EXPECT_FALSE(messageTypeFromCode(0x20));
}

TEST(FrameExtractor, CutsFramesAcrossAnyChunking) {
  Bytes stream;
  const Bytes hello = frameBytes(0x01, bytesOf("{\"a\":1}"));
  const Bytes empty = frameBytes(0x1F, {});
  const Bytes big = frameBytes(0x10, Bytes(70000, 7));
  for (const Bytes* f : {&hello, &empty, &big, &hello}) stream.insert(stream.end(), f->begin(), f->end());

  // Every chunk size from one byte up must give the same four messages in order.
  for (std::size_t chunk : {1u, 2u, 3u, 5u, 7u, 4096u, 1u << 20}) {
    FrameExtractor extractor;
    std::vector<FrameExtractor::Message> got;
    for (std::size_t at = 0; at < stream.size(); at += chunk) {
      const std::size_t n = std::min(chunk, stream.size() - at);
      extractor.append(ByteView(stream.data() + at, n));
      for (auto& m : drain(extractor)) got.push_back(std::move(m));
    }
    ASSERT_EQ(got.size(), 4u) << "chunk " << chunk;
    EXPECT_EQ(got[0].type, MessageType::hello);
    EXPECT_EQ(textOf(got[0].payload), "{\"a\":1}");
    EXPECT_EQ(got[1].type, MessageType::ping);
    EXPECT_TRUE(got[1].payload.empty());
    EXPECT_EQ(got[2].payload, Bytes(70000, 7));
    EXPECT_EQ(got[3].type, MessageType::hello);
    EXPECT_EQ(extractor.buffered(), 0u);
  }
}

TEST(FrameExtractor, SplitHeaderDeliversOnlyOnceComplete) {
  const Bytes frame = frameBytes(0x11, bytesOf("xy"));
  FrameExtractor extractor;
  extractor.append(ByteView(frame.data(), 3));
  EXPECT_TRUE(drain(extractor).empty());
  extractor.append(ByteView(frame.data() + 3, frame.size() - 3));
  auto got = drain(extractor);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].type, MessageType::system);
}

TEST(FrameExtractor, DropsUnassignedCodesAndKeepsPartialTail) {
  Bytes chunk = frameBytes(0x04, bytesOf("junk"));
  const Bytes hello = frameBytes(0x01, bytesOf("{}"));
  const Bytes next = frameBytes(0x10, bytesOf("{}"));
  chunk.insert(chunk.end(), hello.begin(), hello.end());
  chunk.insert(chunk.end(), next.begin(), next.begin() + 3);
  FrameExtractor extractor;
  extractor.append(chunk);
  auto got = drain(extractor);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].type, MessageType::hello);
  EXPECT_EQ(extractor.buffered(), 3u);
}

TEST(FrameExtractor, RefusesAnOversizeFrameWithoutBufferingIt) {
  FrameExtractor extractor(1024);
  const Bytes ok = frameBytes(0x01, Bytes(1024, 1));
  Bytes header{0x03};
  appendBigEndian<std::uint32_t>(header, 0xFFFFFFFFu);
  extractor.append(ok);
  extractor.append(header);
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
