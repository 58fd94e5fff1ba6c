#pragma once
// Big-endian (network order) integers inside byte strings.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <type_traits>

#include "base/bytes.h"

namespace quorin {

template <class T>
  requires(std::is_same_v<T, std::uint32_t> || std::is_same_v<T, std::uint64_t>)
void appendBigEndian(Bytes& out, T value) {
  for (int shift = int(sizeof(T) * 8) - 8; shift >= 0; shift -= 8) {
    out.push_back(static_cast<std::uint8_t>(value >> shift));
  }
}

// Reads a T at `position`; nothing when the bytes end first.
template <class T>
  requires(std::is_same_v<T, std::uint32_t> || std::is_same_v<T, std::uint64_t>)
std::optional<T> readBigEndian(ByteView bytes, std::size_t position) {
  if (position > bytes.size() || bytes.size() - position < sizeof(T)) return std::nullopt;
  T value = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) value = (value << 8) | bytes[position + i];
  return value;
}

}  // namespace quorin
