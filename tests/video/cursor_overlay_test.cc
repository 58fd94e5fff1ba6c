#include "video/cursor_overlay.h"

#include <gtest/gtest.h>

namespace quorin {
namespace {

TEST(CursorOverlayTest, BlendsClipsAtTheEdgesAndPutsBackWhatWasUnder) {
  constexpr std::uint32_t kRed = 0xFFFF0000;
  constexpr std::uint32_t kBackground = 0xFFFFFFFF;
  std::vector<std::uint32_t> pixels(10 * 8, kBackground);
  const MutableBgraImage picture{reinterpret_cast<std::uint8_t*>(pixels.data()), 10, 8, 40};
  const auto at = [&](int x, int y) { return pixels[std::size_t(y) * 10 + x]; };

  // 4x4, left half opaque red, right half premultiplied 50 % black; hotspot (1, 1).
  CursorOverlay overlay;
  std::vector<std::uint32_t> shape(16);
  for (int i = 0; i < 16; ++i) shape[i] = i % 4 < 2 ? kRed : 0x80000000;
  overlay.setShape(shape, 4, 4, 1, 1);

  overlay.draw(picture, 5, 4);
  EXPECT_EQ(at(4, 3), kRed);
  EXPECT_EQ(at(6, 6), 0xFF7F7F7Fu);
  EXPECT_EQ(at(8, 3), kBackground);
  EXPECT_EQ(std::count(pixels.begin(), pixels.end(), kBackground), 80 - 16);

  overlay.draw(picture, 0, 0);  // only the lower-right 3x3 shows
  EXPECT_EQ(std::count(pixels.begin(), pixels.end(), kBackground), 80 - 9);
  overlay.draw(picture, 10, 8);  // only the top-left pixel shows
  EXPECT_EQ(at(9, 7), kRed);
  EXPECT_EQ(std::count(pixels.begin(), pixels.end(), kBackground), 80 - 1);

  overlay.forget();  // a fresh grab: the old pixel is not put back over it
  pixels[79] = 0xFF00FF00;
  overlay.draw(picture, -50, 100);
  EXPECT_EQ(at(9, 7), 0xFF00FF00u);
}

}  // namespace
}  // namespace quorin
