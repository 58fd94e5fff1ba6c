#pragma once
// Walking the NAL units of an H.264 Annex B byte stream (what libx264 emits).

#include <cstddef>
#include <cstdint>

#include "base/bytes.h"

namespace quorin::h264 {

enum NalUnitType : std::uint8_t {
  kSei = 6,
  kSequenceParameterSet = 7,
  kPictureParameterSet = 8,
  kAccessUnitDelimiter = 9,
};

inline NalUnitType nalUnitType(ByteView nalUnit) {
  return static_cast<NalUnitType>(nalUnit.empty() ? 0 : nalUnit[0] & 0x1F);
}

// Position of the next three-byte start code (00 00 01) at or after `from`, or stream.size().
std::size_t findStartCode(ByteView stream, std::size_t from);

// Calls visit(ByteView nalUnit) for every non-empty NAL unit of `stream`, in order, without
// start codes and without the zero bytes that pad or precede them.
template <class Visit>
void forEachNalUnit(ByteView stream, Visit&& visit) {
  std::size_t start = findStartCode(stream, 0);
  while (start < stream.size()) {
    const std::size_t begin = start + 3;
    const std::size_t next = findStartCode(stream, begin);
    std::size_t end = next;
    while (end > begin && stream[end - 1] == 0) --end;
    if (end > begin) visit(stream.subspan(begin, end - begin));
    start = next;
  }
}

}  // namespace quorin::h264
