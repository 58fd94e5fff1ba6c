#include "video/cursor_overlay.h"

#include <algorithm>
#include <cstring>

namespace quorin {

namespace {

// Source-over of one premultiplied pixel onto an opaque one.
std::uint32_t blend(std::uint32_t cursor, std::uint32_t under) {
  const std::uint32_t alpha = cursor >> 24;
  if (alpha == 0xFF) return cursor;
  std::uint32_t out = 0;
  for (int shift = 0; shift < 24; shift += 8) {
    const std::uint32_t top = (cursor >> shift) & 0xFF;
    const std::uint32_t bottom = (under >> shift) & 0xFF;
    const std::uint32_t channel = std::min<std::uint32_t>(255, top + (bottom * (255 - alpha) + 127) / 255);
    out |= channel << shift;
  }
  return out | (under & 0xFF000000u);
}

std::uint32_t* row(const MutableBgraImage& picture, int y) {
  return reinterpret_cast<std::uint32_t*>(picture.pixels + std::size_t(y) * picture.stride);
}

}  // namespace

void CursorOverlay::setShape(std::vector<std::uint32_t> argb, int width, int height, int hotX,
                             int hotY) {
  const bool valid = width > 0 && height > 0 && argb.size() >= std::size_t(width) * height;
  shape_ = valid ? std::move(argb) : std::vector<std::uint32_t>();
  width_ = valid ? width : 0;
  height_ = valid ? height : 0;
  hotX_ = hotX;
  hotY_ = hotY;
  shapeChanged_ = true;
}

CursorOverlay::Area CursorOverlay::visibleArea(int x, int y, int pictureWidth,
                                               int pictureHeight) const {
  const int left = std::max(x - hotX_, 0);
  const int top = std::max(y - hotY_, 0);
  const int right = std::min(x - hotX_ + width_, pictureWidth);
  const int bottom = std::min(y - hotY_ + height_, pictureHeight);
  if (right <= left || bottom <= top) return {};
  return {left, top, right - left, bottom - top};
}

bool CursorOverlay::changesPicture(int x, int y, int pictureWidth, int pictureHeight) const {
  if (shapeChanged_ || !drawnAt_) return true;
  if (*drawnAt_ == std::pair(x, y)) return false;
  const Area now = visibleArea(x, y, pictureWidth, pictureHeight);
  const Area before = visibleArea(drawnAt_->first, drawnAt_->second, pictureWidth, pictureHeight);
  return now.width > 0 || before.width > 0;
}

void CursorOverlay::draw(const MutableBgraImage& picture, int x, int y, ChangedArea& changed) {
  const PictureSize size{picture.width, picture.height};
  if (hasSaved_) {
    changed.add({savedArea_.left, savedArea_.top, savedArea_.width, savedArea_.height}, size);
    for (int r = 0; r < savedArea_.height; ++r) {
      std::memcpy(row(picture, savedArea_.top + r) + savedArea_.left,
                  saved_.data() + std::size_t(r) * savedArea_.width, savedArea_.width * 4u);
    }
  }
  const Area area = visibleArea(x, y, picture.width, picture.height);
  changed.add({area.left, area.top, area.width, area.height}, size);
  saved_.resize(std::size_t(area.width) * area.height);
  for (int r = 0; r < area.height; ++r) {
    std::uint32_t* line = row(picture, area.top + r) + area.left;
    std::memcpy(saved_.data() + std::size_t(r) * area.width, line, area.width * 4u);
    const std::uint32_t* source =
        shape_.data() + std::size_t(area.top + r - (y - hotY_)) * width_ + (area.left - (x - hotX_));
    for (int c = 0; c < area.width; ++c) line[c] = blend(source[c], line[c]);
  }
  savedArea_ = area;
  hasSaved_ = true;
  drawnAt_ = std::pair(x, y);
  shapeChanged_ = false;
}

}  // namespace quorin
