#pragma once
// The hand-off between capture and encoder: one BGRA picture of the captured display and its
// presentation time.

#include <chrono>
#include <cstdint>

#include "video/changed_area.h"

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
// measured from the first picture of the capture; `changed` is what differs from the picture
// before.
class ImageSink {
 public:
  // What refine() asks of the caller next.
  enum class Refinement {
    kQueued,   // encoded again; ask again next slot
    kPending,  // an encode of it is waiting or under way, and decides; ask again next slot
    kDone,     // the picture is sharp, had its share, or there is none: rest until a change
  };

  virtual ~ImageSink() = default;
  virtual void encode(const BgraImage& image, std::chrono::microseconds pts, const ChangedArea& changed) = 0;
  // Encodes the last picture again at time `pts` when it needs it, for a sharper copy of a
  // screen that stopped changing.
  virtual Refinement refine(std::chrono::microseconds pts) = 0;
};

}  // namespace quorin
