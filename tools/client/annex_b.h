#pragma once
// Turning the host's length-prefixed (AVCC) pictures into an H.264 Annex B byte stream, the
// form libavcodec's parser-less decoder and every .h264 file reader expect. Pure functions.

#include <cstdint>
#include <vector>

#include "base/bytes.h"

namespace quorin::annexb {

// Appends a four-byte start code and then `nalUnit`.
void appendNalUnit(Bytes& out, ByteView nalUnit);

// Appends every NAL unit of a picture whose units are each preceded by a big-endian length of
// `lengthSize` bytes (1 to 4). The lengths must cover the picture exactly and no unit may be
// empty; otherwise nothing is appended and the result is false, since a stream that is out
// of step cannot be resynchronised.
bool appendPicture(Bytes& out, ByteView picture, int lengthSize);

}  // namespace quorin::annexb
