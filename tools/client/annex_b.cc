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
  std::size_t at = 0;
  while (at < picture.size()) {
    if (picture.size() - at < prefix) break;
    std::size_t length = 0;
    for (std::size_t i = 0; i < prefix; ++i) length = length << 8 | picture[at + i];
    at += prefix;
    if (length == 0 || picture.size() - at < length) break;
    appendNalUnit(out, picture.subspan(at, length));
    at += length;
  }
  if (at == picture.size()) return true;
  out.resize(mark);
  return false;
}

}  // namespace quorin::annexb
