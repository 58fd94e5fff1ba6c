#pragma once
// Video records: the decoder configuration (JSON) and the binary frame header.

#include <cstdint>
#include <optional>
#include <vector>

#include "base/bytes.h"
#include "protocol/json_codec.h"

namespace quorin {

// The H.264 parameter sets (bare SPS and PPS NAL units, in the encoder's order) and the size
// of the length prefix in front of every NAL unit of the following frames.
struct VideoConfig {
  std::vector<Bytes> parameterSets;
  std::int32_t nalUnitHeaderLength = 4;

  json::Json toJson() const;
  static std::optional<VideoConfig> fromJson(const json::Json& object);
  bool operator==(const VideoConfig&) const = default;
};

// Nine bytes in front of every picture: key-frame flag, then big-endian microseconds.
struct VideoFrameHeader {
  static constexpr std::size_t kSize = 9;

  bool isKeyframe = false;
  std::uint64_t ptsMicros = 0;

  Bytes encoded() const;

  struct Decoded;
  // Header and a copy of the picture; nothing for a payload shorter than nine bytes.
  static std::optional<Decoded> decode(ByteView payload);
};

struct VideoFrameHeader::Decoded {
  VideoFrameHeader header;
  Bytes picture;
};

// Header and picture joined, ready to send as a videoFrame payload.
Bytes videoFramePayload(const VideoFrameHeader& header, ByteView picture);

}  // namespace quorin
