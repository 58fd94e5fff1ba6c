#pragma once
// The one-byte codes of the wire protocol's message types.

#include <cstdint>
#include <optional>

namespace quorin {

enum class MessageType : std::uint8_t {
  hello = 0x01,
  videoConfig = 0x02,
  videoFrame = 0x03,
  input = 0x10,
  system = 0x11,
  ping = 0x1F,
};

constexpr std::uint8_t rawValue(MessageType type) { return static_cast<std::uint8_t>(type); }

// The type with this code, or nothing for a code that names no type.
constexpr std::optional<MessageType> messageTypeFromCode(std::uint8_t code) {
  switch (code) {
    case 0x01: case 0x02: case 0x03: case 0x10: case 0x11: case 0x1F:
      return static_cast<MessageType>(code);
    default:
      return std::nullopt;
  }
}

}  // namespace quorin
