#include "video/picture_fitter.h"

#include <libyuv/convert_from_argb.h>
#include <libyuv/planar_functions.h>
#include <libyuv/scale_argb.h>

#include <cstring>

namespace quorin {
namespace {

// Black in the limited range the encoder signals.
constexpr std::uint8_t kBlackY = 16;
constexpr std::uint8_t kNeutralChroma = 128;

void fillRect(std::uint8_t* plane, int stride, int x, int y, int width, int height, std::uint8_t value) {
  if (width <= 0 || height <= 0) return;
  libyuv::SetPlane(plane + std::ptrdiff_t(y) * stride + x, stride, width, height, value);
}

}  // namespace

PictureSize PictureFitter::fit(const BgraImage& image, const I420Planes& out, bool barsDrawn) {
  const PictureSize size{image.width & ~1, image.height & ~1};
  const ScreenRect shown = placePicture(size, stream_);
  if (!barsDrawn) paintBars(out, shown);

  const BgraImage* source = &image;
  BgraImage scaled;
  if (shown.width != size.width || shown.height != size.height) {
    scaled_.resize(std::size_t(shown.width) * shown.height * 4);
    // A box filter averages every source pixel when shrinking; bilinear is as good and
    // cheaper when growing.
    const bool shrinking = shown.width < size.width;
    libyuv::ARGBScale(image.pixels, image.stride, size.width, size.height, scaled_.data(),
                      shown.width * 4, shown.width, shown.height,
                      shrinking ? libyuv::kFilterBox : libyuv::kFilterBilinear);
    scaled = {scaled_.data(), shown.width, shown.height, shown.width * 4};
    source = &scaled;
  }
  const std::ptrdiff_t lumaAt = std::ptrdiff_t(shown.y) * out.strideY + shown.x;
  const std::ptrdiff_t uAt = std::ptrdiff_t(shown.y / 2) * out.strideU + shown.x / 2;
  const std::ptrdiff_t vAt = std::ptrdiff_t(shown.y / 2) * out.strideV + shown.x / 2;
  // libyuv's "ARGB" is B, G, R, A in memory: X11's 32-bit pixels on a little-endian machine.
  libyuv::ARGBToI420(source->pixels, source->stride, out.y + lumaAt, out.strideY, out.u + uAt,
                     out.strideU, out.v + vAt, out.strideV, shown.width, shown.height);
  return size;
}

void PictureFitter::paintBars(const I420Planes& out, const ScreenRect& shown) const {
  const int w = stream_.width;
  const int h = stream_.height;
  const int right = shown.x + shown.width;
  const int bottom = shown.y + shown.height;
  const auto bars = [&](std::uint8_t* plane, int stride, int div, std::uint8_t value) {
    fillRect(plane, stride, 0, 0, w / div, shown.y / div, value);
    fillRect(plane, stride, 0, bottom / div, w / div, (h - bottom) / div, value);
    fillRect(plane, stride, 0, shown.y / div, shown.x / div, shown.height / div, value);
    fillRect(plane, stride, right / div, shown.y / div, (w - right) / div, shown.height / div, value);
  };
  bars(out.y, out.strideY, 1, kBlackY);
  bars(out.u, out.strideU, 2, kNeutralChroma);
  bars(out.v, out.strideV, 2, kNeutralChroma);
}

}  // namespace quorin
