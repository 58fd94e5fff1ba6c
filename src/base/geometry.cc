#include "base/geometry.h"

#include <algorithm>
#include <cmath>

namespace quorin {
namespace {

int evenDown(int value) { return std::max(0, value & ~1); }

}  // namespace

PictureSize streamSizeFor(PictureSize picture, PictureSize cap) {
  if (picture.width <= 0 || picture.height <= 0) return {};
  // The cap bounds the longer side by its longer side, the shorter by its shorter.
  const bool portrait = picture.height > picture.width;
  const int capLong = std::max(cap.width, cap.height);
  const int capShort = std::min(cap.width, cap.height);
  const PictureSize bound = portrait ? PictureSize{capShort, capLong} : PictureSize{capLong, capShort};
  if (bound.width <= 0 || bound.height <= 0 ||
      (picture.width <= bound.width && picture.height <= bound.height)) {
    return {evenDown(picture.width), evenDown(picture.height)};
  }
  const double scale = std::min(double(bound.width) / picture.width, double(bound.height) / picture.height);
  return {std::max(2, evenDown(int(std::lround(picture.width * scale)))),
          std::max(2, evenDown(int(std::lround(picture.height * scale))))};
}

ScreenRect placePicture(PictureSize picture, PictureSize stream) {
  if (picture.width <= 0 || picture.height <= 0) return {0, 0, stream.width, stream.height};
  // Compare the aspect ratios without rounding: the picture fills the width or the height.
  const long long wide = 1LL * picture.width * stream.height;
  const long long tall = 1LL * picture.height * stream.width;
  int width = stream.width;
  int height = stream.height;
  if (wide > tall) {
    height = evenDown(int(std::lround(double(stream.width) * picture.height / picture.width)));
  } else if (wide < tall) {
    width = evenDown(int(std::lround(double(stream.height) * picture.width / picture.height)));
  }
  width = std::clamp(width, std::min(2, stream.width), stream.width);
  height = std::clamp(height, std::min(2, stream.height), stream.height);
  return {evenDown((stream.width - width) / 2), evenDown((stream.height - height) / 2), width, height};
}

std::pair<double, double> DesktopGeometry::toDesktop(double fx, double fy) const {
  const ScreenRect shown = placePicture(picture, stream);
  const auto along = [](double fraction, int streamExtent, int offset, int extent, int origin, int size) {
    const double inPicture = extent > 0 ? (fraction * streamExtent - offset) / extent : 0.0;
    // The far edge (1.0) is the last pixel: one more is the next monitor's first.
    return origin + std::min(std::clamp(inPicture, 0.0, 1.0) * size, std::max(0.0, size - 1.0));
  };
  return {along(fx, stream.width, shown.x, shown.width, monitor.x, monitor.width),
          along(fy, stream.height, shown.y, shown.height, monitor.y, monitor.height)};
}

std::pair<double, double> DesktopGeometry::toStream(double x, double y) const {
  const ScreenRect shown = placePicture(picture, stream);
  const auto along = [](double at, int origin, int size, int offset, int extent, int streamExtent) {
    const double inPicture = size > 0 ? (at - origin) / size : 0.0;
    return streamExtent > 0 ? (offset + inPicture * extent) / streamExtent : 0.0;
  };
  return {along(x, monitor.x, monitor.width, shown.x, shown.width, stream.width),
          along(y, monitor.y, monitor.height, shown.y, shown.height, stream.height)};
}

const Monitor* chooseMonitor(const std::vector<Monitor>& monitors, const std::string& wanted) {
  const auto named = std::ranges::find(monitors, wanted, &Monitor::name);
  if (named != monitors.end()) return &*named;
  const auto primary = std::ranges::find_if(monitors, &Monitor::primary);
  if (primary != monitors.end()) return &*primary;
  return monitors.empty() ? nullptr : &monitors.front();
}

}  // namespace quorin
