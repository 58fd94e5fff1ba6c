#pragma once
// Plain screen geometry: rectangles in desktop coordinates (root-window pixels on X11, the
// compositor's layout on Wayland), picture sizes in pixels, and how a client's picture maps
// onto the desktop.

#include <string>
#include <utility>
#include <vector>

namespace quorin {

struct ScreenRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  bool operator==(const ScreenRect&) const = default;
};

struct PictureSize {
  int width = 0;
  int height = 0;
  bool operator==(const PictureSize&) const = default;
};

// A monitor of the desktop, named as the display server names it (the RandR monitor's name on
// X11, such as "DP-1"; the output's name on wlroots).
struct Monitor {
  std::string name;
  ScreenRect rect;
  bool primary = false;
  bool operator==(const Monitor&) const = default;
};

// The monitor to share: the one called `wanted`, else the primary one, else the first;
// nothing when there is none.
const Monitor* chooseMonitor(const std::vector<Monitor>& monitors, const std::string& wanted);

// The size a picture is streamed at: `picture` scaled down, aspect ratio kept, until it fits
// within `cap` (a width and height that bound either orientation: a 1920x1080 cap takes a
// portrait 1080x1920 picture as it is), rounded down to even sizes for 4:2:0 video. A picture
// within the cap keeps its size (less an odd last column or row).
PictureSize streamSizeFor(PictureSize picture, PictureSize cap);

// Where a picture sits inside a stream of another size: scaled to fill it as far as its
// aspect ratio allows and centred, with bars on two sides where it does not fill. Even
// offsets and sizes, so that the bars fall on whole chroma samples.
ScreenRect placePicture(PictureSize picture, PictureSize stream);

// One client's view of the desktop: the monitor it watches, the size of that monitor's
// pictures, and the stream they are fitted into. Input arrives as fractions of the stream.
struct DesktopGeometry {
  ScreenRect monitor;  // in the input sink's coordinates
  PictureSize picture;
  PictureSize stream;

  // The desktop point under a fraction of the stream. A point on a bar, or outside the
  // stream, lands on the nearest edge of the monitor, and the far edges on its last column
  // and row: never on a monitor the client cannot see.
  std::pair<double, double> toDesktop(double fx, double fy) const;
  // The fraction of the stream that shows a desktop point; the inverse of toDesktop.
  std::pair<double, double> toStream(double x, double y) const;
};

}  // namespace quorin
