#pragma once
// The vocabulary of the internet mode's signaling: the two WebRTC records exchanged through
// the store, the roles of its two ends and the names of the store's entries. These names and
// JSON formats are shared with every peer that uses the store, so they are fixed.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/json_codec.h"

namespace quorin {

// A WebRTC session description. `type` ("offer", "answer", ...) is carried as free text.
struct SessionDescriptionDTO {
  std::string sdp;
  std::string type;

  json::Json toJson() const;
  static std::optional<SessionDescriptionDTO> fromJson(const json::Json& object);
  bool operator==(const SessionDescriptionDTO&) const = default;
};

// A WebRTC ICE candidate. An absent `sdpMid` is left out of the JSON; null reads as absent.
// An `sdpMLineIndex` outside the signed 32-bit range makes the record unreadable.
struct IceCandidateDTO {
  std::string candidate;
  std::optional<std::string> sdpMid;
  std::int32_t sdpMLineIndex = 0;

  json::Json toJson() const;
  static std::optional<IceCandidateDTO> fromJson(const json::Json& object);
  bool operator==(const IceCandidateDTO&) const = default;
};

// Which end of a session a party is. Never encoded.
enum class SignalRole { host, client };

// Names in the signaling store.
namespace SignalKeys {
inline constexpr std::string_view sessions = "sessions";  // the collection, one document a session
inline constexpr std::string_view hostName = "hostName";
inline constexpr std::string_view offer = "offer";
inline constexpr std::string_view answer = "answer";
inline constexpr std::string_view createdAt = "createdAt";
inline constexpr std::string_view expiresAt = "expiresAt";
inline constexpr std::string_view callerCandidates = "callerCandidates";
inline constexpr std::string_view calleeCandidates = "calleeCandidates";
}  // namespace SignalKeys

}  // namespace quorin
