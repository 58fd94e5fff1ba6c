#pragma once
// Draws the pointer over a captured picture and takes it off again, so that a picture whose
// only change is the pointer needs no new grab. One thread (the capture thread).

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "video/changed_area.h"

namespace quorin {

// A writable 32-bit BGRA picture.
struct MutableBgraImage {
  std::uint8_t* pixels = nullptr;
  int width = 0;
  int height = 0;
  int stride = 0;
};

class CursorOverlay {
 public:
  // The pointer's image: `width` x `height` premultiplied 0xAARRGGBB pixels, row by row, and
  // the hotspot inside it.
  void setShape(std::vector<std::uint32_t> argb, int width, int height, int hotX, int hotY);

  // Whether drawing with the hotspot at (x, y) gives another picture than the last draw.
  bool changesPicture(int x, int y, int pictureWidth, int pictureHeight) const;

  // Puts back what the last draw covered (unless forget() came since), then draws the pointer
  // with its hotspot at (x, y), clipped to the picture. Adds both areas to `changed`.
  void draw(const MutableBgraImage& picture, int x, int y, ChangedArea& changed);

  // The picture was grabbed afresh: there is no earlier pointer in it to take off.
  void forget() { hasSaved_ = false; }

 private:
  struct Area {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
  };
  Area visibleArea(int x, int y, int pictureWidth, int pictureHeight) const;

  std::vector<std::uint32_t> shape_;
  int width_ = 0;
  int height_ = 0;
  int hotX_ = 0;
  int hotY_ = 0;
  bool shapeChanged_ = false;

  std::optional<std::pair<int, int>> drawnAt_;
  std::vector<std::uint32_t> saved_;  // the picture's pixels under the last draw
  Area savedArea_;
  bool hasSaved_ = false;
};

}  // namespace quorin
