#include "base/geometry.h"

#include <gtest/gtest.h>

#include <cmath>

namespace quorin {
namespace {

TEST(GeometryTest, StreamSizeFitsTheCapKeepingAspectAndEvenSizes) {
  struct Case {
    PictureSize picture, cap, stream;
  };
  for (const Case& c : std::initializer_list<Case>{
           {{1920, 1080}, {1920, 1080}, {1920, 1080}},  // fits as it is
           {{3840, 2160}, {1920, 1080}, {1920, 1080}},  // 4K at half size
           {{2560, 1600}, {1920, 1080}, {1728, 1080}},  // 16:10 bounded by its height
           {{1080, 1920}, {1920, 1080}, {1080, 1920}},  // portrait: the cap turns with it
           {{2160, 3840}, {1920, 1080}, {1080, 1920}},
           {{1281, 721}, {1920, 1080}, {1280, 720}},  // odd sizes lose a column and a row
           {{5120, 1440}, {1920, 1080}, {1920, 540}},  // a super-wide monitor
           {{3840, 2160}, {2560, 1440}, {2560, 1440}},  // a raised cap
       }) {
    EXPECT_EQ(streamSizeFor(c.picture, c.cap), c.stream) << c.picture.width << "x" << c.picture.height;
  }
}

TEST(GeometryTest, PicturesSitBetweenBarsAndFractionsMapThroughThemOntoTheMonitor) {
  struct Case {
    PictureSize picture, stream;
    ScreenRect placed;
    ScreenRect monitor;
    double fx, fy;
    double x, y;
  };
  for (const Case& c : std::initializer_list<Case>{
           // Same shape: no bars; the monitor's origin is added (a second monitor at x 1920).
           {{3840, 2160}, {1920, 1080}, {0, 0, 1920, 1080}, {1920, 0, 3840, 2160}, 0.5, 0.5, 3840, 1080},
           // 1280x1024 in 1920x1080: bars left and right.
           {{1280, 1024}, {1920, 1080}, {284, 0, 1350, 1080}, {0, 0, 1280, 1024}, 0.5, 0.95, 676.0 / 1350 * 1280, 972.8},
           // 1920x1200 in 1920x1080: bars left and right; a point on a bar stays on the monitor.
           {{1920, 1200}, {1920, 1080}, {96, 0, 1728, 1080}, {0, 0, 1920, 1200}, 0.01, 1.5, 0, 1199},
           // Wider than the stream: bars above and below.
           {{1920, 540}, {1920, 1080}, {0, 270, 1920, 540}, {0, 0, 1920, 540}, 0.25, 0.5, 480, 270},
           // Pictures in device pixels, input in logical ones (a portal at scale 2).
           {{3840, 2160}, {1920, 1080}, {0, 0, 1920, 1080}, {0, 0, 1920, 1080}, 1, 1, 1919, 1079},
       }) {
    SCOPED_TRACE(std::to_string(c.picture.width) + "x" + std::to_string(c.picture.height));
    EXPECT_EQ(placePicture(c.picture, c.stream), c.placed);
    const DesktopGeometry geometry{c.monitor, c.picture, c.stream};
    const auto [x, y] = geometry.toDesktop(c.fx, c.fy);
    EXPECT_NEAR(x, c.x, 1e-9);
    EXPECT_NEAR(y, c.y, 1e-9);
    const auto [fx, fy] = geometry.toStream(x, y);
    const auto [x2, y2] = geometry.toDesktop(fx, fy);
    EXPECT_NEAR(x2, x, 1e-6) << "toStream undoes toDesktop";
    EXPECT_NEAR(y2, y, 1e-6);
  }
}

// Two monitors side by side, and one below the first: a fraction at or beyond a far edge lands
// on that monitor's last column or row, never on the first pixel of its neighbour.
TEST(GeometryTest, FarEdgesLandOnTheMonitorsLastColumnAndRow) {
  struct Case {
    ScreenRect monitor;
    double fx, fy;
    double x, y;
  };
  const PictureSize stream{1920, 1080};
  for (const Case& c : std::initializer_list<Case>{
           {{0, 0, 1920, 1080}, 1, 1, 1919, 1079},
           {{0, 0, 1920, 1080}, 1.7, 0, 1919, 0},
           {{0, 0, 1920, 1080}, 0, 0, 0, 0},
           {{0, 0, 1920, 1080}, 0.9999, 0.9999, 1919, 1079},  // 1919.8 would round onto x 1920
           {{1920, 0, 1920, 1080}, 1, 1, 3839, 1079},
           {{1920, 0, 1920, 1080}, 0, 0.5, 1920, 540},
           {{0, 1080, 1920, 1080}, 0.5, 1, 960, 2159},
       }) {
    SCOPED_TRACE(std::to_string(c.monitor.x) + "," + std::to_string(c.monitor.y) + " at " +
                 std::to_string(c.fx) + "," + std::to_string(c.fy));
    const auto [x, y] = DesktopGeometry{c.monitor, stream, stream}.toDesktop(c.fx, c.fy);
    EXPECT_EQ(std::lround(x), c.x);
    EXPECT_EQ(std::lround(y), c.y);
  }
}

}  // namespace
}  // namespace quorin
