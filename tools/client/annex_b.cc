#include "client/annex_b.h"

namespace quorin::annexb {

void appendNalUnit(Bytes& out, ByteView nalUnit) {
  static constexpr std::uint8_t kStartCode[] = {0, 0, 0, 1};
  out.insert(out.end(), std::begin(kStartCode), std::end(kStartCode));
  out.insert(out.end(), nalUnit.begin(), nalUnit.end());
}

bool appendPicture(Bytes& out, ByteView picture, int lengthSize) {
  if (lengthSize < 1 || lengthSize > 4 || picture.empty()) return false;
  const std::size_t prefix = static_cast<std::size_t>(lengthSize);
  const std::size_t mark = out.size();
  for (std::size_t at = 0; at < picture.size();) {
    std::size_t length = 0;
    if (picture.size() - at >= prefix) {
      for (std::size_t i = 0; i < prefix; ++i) length = length << 8 | picture[at + i];
      at += prefix;
    }
    if (length == 0 || picture.size() - at < length) {
      out.resize(mark);
      return false;
    }
    appendNalUnit(out, picture.subspan(at, length));
    at += length;
  }
  return true;
}

}  // namespace quorin::annexb
