#pragma once
// The hand-off between capture and encoder: one BGRA picture of the captured display and its
// presentation time.

#include <chrono>
#include <cstdint>

namespace quorin {

// A borrowed 32-bit BGRA picture (bytes B, G, R, X per pixel; X is ignored). Valid only for
// the duration of the call it is passed to.
struct BgraImage {
  const std::uint8_t* pixels = nullptr;
  int width = 0;
  int height = 0;
  int stride = 0;  // bytes from one row to the next
};

// Receives captured pictures one at a time, in order, from the capture thread. The time is
// measured from the first picture of the capture.
class ImageSink {
 public:
  virtual ~ImageSink() = default;
  virtual void encode(const BgraImage& image, std::chrono::microseconds pts) = 0;
  // Encodes the last picture again at time `pts`, for a sharper copy of a screen that stopped
  // changing. Nothing before the first picture.
  virtual void refine(std::chrono::microseconds pts) = 0;
};

}  // namespace quorin
