#include "app/wayland/permissions.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "video/wayland/fake_portal.h"

namespace quorin {
namespace {

TEST(WaylandPermissionsTest, RowsFollowThePortalOnTheBusAndTheStoredApproval) {
  PrivateSessionBus bus;  // starts nothing on demand, so no real portal answers
  ASSERT_FALSE(bus.address().empty());
  setenv("WAYLAND_DISPLAY", "no-compositor-here", 1);

  bool stored = true;
  int requests = 0;
  const PermissionServices services = WaylandPermissions::services([&] { return stored; }, [&] { ++requests; });
  EXPECT_FALSE(services.hasScreenRecording());
  {
    // wlroots desktops: screen sharing, but no input through the portal.
    const FakePortal portal(bus.address(), FakePortal::kRefuse);
    EXPECT_TRUE(services.hasScreenRecording());
    EXPECT_FALSE(services.isAccessibilityTrusted(false));
  }
  const FakePortal portal(bus.address(), FakePortal::kGrantRemoteDesktop);
  EXPECT_TRUE(services.isAccessibilityTrusted(false));
  stored = false;  // the portal would ask first
  EXPECT_FALSE(services.hasScreenRecording());
  EXPECT_FALSE(services.isAccessibilityTrusted(true));
  services.openAccessibilitySettings();
  services.openScreenRecordingSettings();
  EXPECT_EQ(requests, 2);
}

}  // namespace
}  // namespace quorin
