#include "signaling/signaling_records.h"

namespace quorin {

json::Json SessionDescriptionDTO::toJson() const { return {{"sdp", sdp}, {"type", type}}; }

std::optional<SessionDescriptionDTO> SessionDescriptionDTO::fromJson(const json::Json& object) {
  SessionDescriptionDTO d;
  if (!json::readField(object, "sdp", d.sdp) || !json::readField(object, "type", d.type)) {
    return std::nullopt;
  }
  return d;
}

json::Json IceCandidateDTO::toJson() const {
  json::Json object = {{"candidate", candidate}, {"sdpMLineIndex", sdpMLineIndex}};
  json::writeOptional(object, "sdpMid", sdpMid);
  return object;
}

std::optional<IceCandidateDTO> IceCandidateDTO::fromJson(const json::Json& object) {
  IceCandidateDTO c;
  if (!json::readField(object, "candidate", c.candidate) ||
      !json::readField(object, "sdpMid", c.sdpMid) ||
      !json::readField(object, "sdpMLineIndex", c.sdpMLineIndex)) {
    return std::nullopt;
  }
  return c;
}

}  // namespace quorin
