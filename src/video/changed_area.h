#pragma once
// What differs between a picture and the one before it: a list of rectangles in picture
// pixels, or everything when the source cannot tell (the first picture, a new size, a stream
// without damage reports).

#include <cstdint>
#include <vector>

#include "base/geometry.h"

namespace quorin {

struct ChangedArea {
  bool everything = true;
  std::vector<ScreenRect> rects;  // when not everything; may overlap

  static ChangedArea none() { return {false, {}}; }

  // Adds `rect`, clipped to a picture of `size`; nothing when it lies outside.
  void add(ScreenRect rect, PictureSize size);
  // Changed pixels of a picture of `size`: the rectangles' areas (overlaps counted twice),
  // never more than the picture.
  std::int64_t pixels(PictureSize size) const;
};

}  // namespace quorin
