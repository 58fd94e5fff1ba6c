#include "protocol/video_messages.h"

#include "protocol/byte_order.h"

namespace quorin {

json::Json VideoConfig::toJson() const {
  return {{"parameterSets", json::bytesListValue(parameterSets)},
          {"nalUnitHeaderLength", nalUnitHeaderLength}};
}

std::optional<VideoConfig> VideoConfig::fromJson(const json::Json& object) {
  VideoConfig c;
  if (!json::readField(object, "parameterSets", c.parameterSets) ||
      !json::readField(object, "nalUnitHeaderLength", c.nalUnitHeaderLength)) {
    return std::nullopt;
  }
  return c;
}

Bytes VideoFrameHeader::encoded() const {
  Bytes out;
  out.reserve(kSize);
  out.push_back(isKeyframe ? 0x01 : 0x00);
  appendBigEndian(out, ptsMicros);
  return out;
}

std::optional<VideoFrameHeader::Decoded> VideoFrameHeader::decode(ByteView payload) {
  if (payload.size() < kSize) return std::nullopt;
  Decoded d;
  d.header.isKeyframe = payload[0] == 0x01;
  d.header.ptsMicros = *readBigEndian<std::uint64_t>(payload, 1);
  d.picture.assign(payload.begin() + kSize, payload.end());
  return d;
}

Bytes videoFramePayload(const VideoFrameHeader& header, ByteView picture) {
  Bytes out = header.encoded();
  out.reserve(VideoFrameHeader::kSize + picture.size());
  out.insert(out.end(), picture.begin(), picture.end());
  return out;
}

}  // namespace quorin
