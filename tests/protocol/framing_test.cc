#include <gtest/gtest.h>

#include "protocol/byte_order.h"
#include "protocol/frame.h"

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
  int assigned = 0;
  for (int code = 0; code < 256; ++code) assigned += messageTypeFromCode(code).has_value();
  EXPECT_EQ(assigned, 6);
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

}  // namespace
}  // namespace quorin
