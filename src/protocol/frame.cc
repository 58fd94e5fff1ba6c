#include "protocol/frame.h"

#include "protocol/byte_order.h"

namespace quorin {

Bytes encodeFrame(MessageType type, ByteView payload) {
  Bytes frame;
  frame.reserve(kFrameHeaderSize + payload.size());
  frame.push_back(rawValue(type));
  appendBigEndian(frame, static_cast<std::uint32_t>(payload.size()));
  frame.insert(frame.end(), payload.begin(), payload.end());
  return frame;
}

std::optional<RawFrame> nextFrame(ByteView buffer) {
  if (buffer.size() < kFrameHeaderSize) return std::nullopt;
  const std::uint32_t length = *readBigEndian<std::uint32_t>(buffer, 1);
  if (buffer.size() - kFrameHeaderSize < length) return std::nullopt;
  RawFrame frame;
  frame.code = buffer[0];
  frame.payload.assign(buffer.begin() + kFrameHeaderSize,
                       buffer.begin() + kFrameHeaderSize + length);
  frame.frameSize = kFrameHeaderSize + length;
  return frame;
}

void FrameExtractor::append(ByteView chunk) {
  if (oversize_) return;
  // Compact before growing so the buffer stays about one frame in size.
  if (start_ > 0 && (start_ == buffer_.size() || start_ >= buffer_.size() / 2)) {
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
    start_ = 0;
  }
  buffer_.insert(buffer_.end(), chunk.begin(), chunk.end());
}

FrameExtractor::Result FrameExtractor::next() {
  while (!oversize_) {
    const ByteView pending(buffer_.data() + start_, buffer_.size() - start_);
    if (pending.size() >= kFrameHeaderSize) {
      const std::uint32_t length = *readBigEndian<std::uint32_t>(pending, 1);
      if (length > maxPayload_) {
        oversize_ = length;
        buffer_.clear();
        start_ = 0;
        break;
      }
    }
    auto frame = nextFrame(pending);
    if (!frame) return std::monostate{};
    start_ += frame->frameSize;
    if (auto type = messageTypeFromCode(frame->code)) {
      return Message{*type, std::move(frame->payload)};
    }
  }
  return Oversize{*oversize_};
}

}  // namespace quorin
