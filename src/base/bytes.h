#pragma once
// Byte strings: contiguous, owned by value. Text is UTF-8 in std::string.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quorin {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

inline Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

inline std::string textOf(ByteView bytes) {
  return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

}  // namespace quorin
