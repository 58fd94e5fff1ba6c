#pragma once
// Fits captured pictures of any size into the fixed size of a client's stream: scaled with
// libyuv (a box filter when shrinking, which keeps small text legible), aspect ratio kept,
// centred between black bars, and converted to I420 for the encoder. The stream's size never
// changes during a session, so a monitor that changes its resolution, scale or rotation still
// reaches the client, as a picture with other bars.
//
// Thread: one producer at a time (the capture thread).

#include <cstdint>
#include <vector>

#include "base/geometry.h"
#include "video/image_sink.h"

namespace quorin {

// The three planes of one I420 picture of the stream's size.
struct I420Planes {
  std::uint8_t* y = nullptr;
  std::uint8_t* u = nullptr;
  std::uint8_t* v = nullptr;
  int strideY = 0;
  int strideU = 0;
  int strideV = 0;
};

class PictureFitter {
 public:
  explicit PictureFitter(PictureSize stream) : stream_(stream) {}

  // Draws `image` into `out`, a picture of the stream's size. `barsDrawn` tells whether `out`
  // already holds the bars of a picture of this size (its buffer is reused); when not, they
  // are painted black. Returns the size of `image` as placed, for the caller to remember.
  PictureSize fit(const BgraImage& image, const I420Planes& out, bool barsDrawn);

 private:
  void paintBars(const I420Planes& out, const ScreenRect& shown) const;

  const PictureSize stream_;
  std::vector<std::uint8_t> scaled_;  // the picture scaled to its place, BGRA
};

}  // namespace quorin
