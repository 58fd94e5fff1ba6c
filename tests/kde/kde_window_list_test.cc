// The window list on the suite's KWin (scripts/lib/kwin.sh), which grants it to this binary.

#include "kde/kde_window_list.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ostream>

#include "fakes/require_service.h"
#include "wayland/wayland_test_client.h"

namespace quorin {

void PrintTo(const ScreenRect& r, std::ostream* os) { *os << r.width << "x" << r.height << "+" << r.x << "+" << r.y; }

namespace {

// Two test windows, one full screen on each of KWin's outputs, found apart by title and app id.
TEST(KdeWindowList, FindsEachWindowByTitleOrAppIdWithThePlaceOfTheOutputItFills) {
  const char* kwin = std::getenv("KWIN_WAYLAND_DISPLAY");
  QUORIN_REQUIRE(kwin, "KWIN_WAYLAND_DISPLAY is unset: no KWin to run on (scripts/test starts one)");
  WaylandTestClient left(kwin, {.colour = 0x2E8B57, .output = "Virtual-0", .title = "quorin left"});
  WaylandTestClient right(kwin, {.colour = 0x8E4585, .output = "Virtual-1", .appId = "org.quorin.right"});
  ASSERT_EQ(left.error(), "");
  ASSERT_EQ(right.error(), "");

  KdeWindowList list(kwin);
  ASSERT_EQ(list.error(), "");
  const auto leftWindow = list.find("quorin left");
  const auto rightWindow = list.find("org.quorin.right");
  ASSERT_TRUE(leftWindow && rightWindow);
  EXPECT_EQ(leftWindow->title, "quorin left");
  EXPECT_EQ(rightWindow->appId, "org.quorin.right");
  EXPECT_EQ(leftWindow->geometry, (ScreenRect{0, 0, 1280, 800}));
  EXPECT_EQ(rightWindow->geometry, (ScreenRect{1280, 0, 1280, 800}));
  EXPECT_FALSE(leftWindow->uuid.empty());
  EXPECT_NE(leftWindow->uuid, rightWindow->uuid);
  EXPECT_FALSE(list.find("no such window", std::chrono::milliseconds(0)));
}

}  // namespace
}  // namespace quorin
