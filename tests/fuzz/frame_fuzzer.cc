// Inbound bytes cut into frames: nextFrame on the raw input, and a FrameExtractor fed the same
// bytes in chunks whose sizes the input chooses, must agree frame by frame.

#include <cstddef>
#include <algorithm>
#include <cstdint>

#include "protocol/frame.h"

namespace {

void check(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quorin;
  if (size == 0) return 0;
  // The first byte picks the chunk size; the rest is the stream.
  const std::size_t chunk = 1 + data[0] % 64;
  const ByteView stream(data + 1, size - 1);

  FrameExtractor extractor(1 << 16);
  std::size_t fed = 0;
  std::size_t offset = 0;  // where the next frame starts in `stream`
  for (auto result = extractor.next(); !std::holds_alternative<FrameExtractor::Oversize>(result);
       result = extractor.next()) {
    const auto* message = std::get_if<FrameExtractor::Message>(&result);
    if (!message && fed == stream.size()) break;
    if (!message) {
      const std::size_t n = std::min(chunk, stream.size() - fed);
      extractor.append(stream.subspan(fed, n));
      fed += n;
      continue;
    }
    // Skip frames of unassigned codes the way the extractor does, then compare.
    std::optional<RawFrame> frame;
    do {
      frame = nextFrame(stream.subspan(offset));
      check(frame && frame->frameSize == kFrameHeaderSize + frame->payload.size());
      offset += frame->frameSize;
      check(offset <= fed);
    } while (!messageTypeFromCode(frame->code));
    check(static_cast<std::uint8_t>(message->type) == frame->code && message->payload == frame->payload);
    check(encodeFrame(message->type, message->payload) ==
          Bytes(stream.begin() + offset - frame->frameSize, stream.begin() + offset));
  }
  return 0;
}
