#pragma once
// Frames: a code byte, a big-endian 32-bit payload length, the payload.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <variant>

#include "base/bytes.h"
#include "protocol/message_type.h"

namespace quorin {

inline constexpr std::size_t kFrameHeaderSize = 5;

// One contiguous frame. The payload must be shorter than 2^32 bytes.
Bytes encodeFrame(MessageType type, ByteView payload);

struct RawFrame {
  std::uint8_t code = 0;
  Bytes payload;               // an independent copy
  std::size_t frameSize = 0;   // header + payload: what to remove from the buffer
};

// Looks at the front of `buffer`: a whole frame, or nothing when more bytes are needed.
// Removes nothing.
std::optional<RawFrame> nextFrame(ByteView buffer);

// The inbound side of one connection: chunks go in, complete typed messages come out in
// stream order. Frames with unassigned codes are consumed silently. A frame that announces
// more than `maxPayload` bytes is never buffered: the extractor turns to a failed state and
// the connection should be closed, since the stream cannot be resynchronised.
// Not thread-safe: one connection's reads drive it.
class FrameExtractor {
 public:
  static constexpr std::size_t kDefaultMaxPayload = 64u << 20;

  struct Message {
    MessageType type;
    Bytes payload;
  };
  struct Oversize {
    std::uint64_t announced;
  };
  using Result = std::variant<std::monostate /* need more bytes */, Message, Oversize>;

  explicit FrameExtractor(std::size_t maxPayload = kDefaultMaxPayload) : maxPayload_(maxPayload) {}

  void append(ByteView chunk);
  // The next message, monostate when the buffer holds no whole frame, Oversize once the
  // stream is unusable (and on every call after that).
  Result next();
  std::size_t buffered() const { return buffer_.size() - start_; }

 private:
  std::size_t maxPayload_;
  Bytes buffer_;
  std::size_t start_ = 0;  // consumed bytes at the front, removed lazily
  std::optional<std::uint64_t> oversize_;
};

}  // namespace quorin
