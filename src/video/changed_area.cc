#include "video/changed_area.h"

#include <algorithm>

namespace quorin {

void ChangedArea::add(ScreenRect rect, PictureSize size) {
  const int left = std::max(rect.x, 0);
  const int top = std::max(rect.y, 0);
  const int right = std::min(rect.x + rect.width, size.width);
  const int bottom = std::min(rect.y + rect.height, size.height);
  if (right > left && bottom > top) rects.push_back({left, top, right - left, bottom - top});
}

std::int64_t ChangedArea::pixels(PictureSize size) const {
  const std::int64_t all = std::int64_t(size.width) * size.height;
  if (everything) return all;
  std::int64_t sum = 0;
  for (const ScreenRect& r : rects) sum += std::int64_t(r.width) * r.height;
  return std::min(sum, all);
}

}  // namespace quorin
