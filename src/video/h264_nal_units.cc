#include "video/h264_nal_units.h"

#include <cstring>

namespace quorin::h264 {

std::size_t findStartCode(ByteView stream, std::size_t from) {
  const std::size_t size = stream.size();
  const std::uint8_t* data = stream.data();
  // Look for the 01 with memchr, then check the two zeros before it.
  std::size_t i = from + 2;
  while (i < size) {
    const void* one = std::memchr(data + i, 1, size - i);
    if (!one) break;
    i = static_cast<std::size_t>(static_cast<const std::uint8_t*>(one) - data);
    if (data[i - 1] == 0 && data[i - 2] == 0) return i - 2;
    ++i;
  }
  return size;
}

}  // namespace quorin::h264
