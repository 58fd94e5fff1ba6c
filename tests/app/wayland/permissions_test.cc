#include "app/wayland/permissions.h"

#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "fakes/child_process.h"

namespace quorin {
namespace {

int version(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*, sd_bus_error*) {
  return sd_bus_message_append(reply, "u", 4U);
}
const sd_bus_vtable kPortalInterface[] = {
    SD_BUS_VTABLE_START(0), SD_BUS_PROPERTY("version", "u", version, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_VTABLE_END};

// The desktop portal's object offering `interfaces` only, served on a thread of its own.
class FakePortal {
 public:
  explicit FakePortal(std::initializer_list<const char*> interfaces) {
    sd_bus_open_user(&bus_);
    for (const char* interface : interfaces) {
      sd_bus_add_object_vtable(bus_, nullptr, "/org/freedesktop/portal/desktop", interface,
                               kPortalInterface, nullptr);
    }
    sd_bus_request_name(bus_, "org.freedesktop.portal.Desktop", 0);
    thread_ = std::thread([this] {
      while (!stop_) {
        if (sd_bus_process(bus_, nullptr) == 0) sd_bus_wait(bus_, 50'000);
      }
    });
  }
  ~FakePortal() {
    stop_ = true;
    thread_.join();
    sd_bus_flush_close_unref(bus_);
  }

 private:
  sd_bus* bus_ = nullptr;
  std::atomic<bool> stop_ = false;
  std::thread thread_;
};

TEST(WaylandPermissionsTest, RowsFollowThePortalOnTheBusAndTheStoredApproval) {
  // A session bus of the test's own that starts nothing on demand, so no real portal answers.
  const std::string config = testing::TempDir() + "/quorin-portal-bus.conf";
  std::ofstream(config) << "<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen>"
                           "<policy context='default'><allow send_destination='*' eavesdrop='true'/>"
                           "<allow eavesdrop='true'/><allow own='*'/></policy></busconfig>";
  ChildProcess bus({"/usr/bin/dbus-daemon", "--nofork", "--print-address=1", "--config-file=" + config});
  ASSERT_TRUE(bus.waitForLine("unix:")) << "dbus-daemon did not start";
  setenv("DBUS_SESSION_BUS_ADDRESS", bus.output().substr(0, bus.output().find('\n')).c_str(), 1);
  setenv("WAYLAND_DISPLAY", "no-compositor-here", 1);

  bool stored = true;
  int requests = 0;
  const PermissionServices services = WaylandPermissions::services([&] { return stored; }, [&] { ++requests; });
  EXPECT_FALSE(services.hasScreenRecording());
  {
    // wlroots desktops: screen sharing, but no input through the portal.
    const FakePortal portal({"org.freedesktop.portal.ScreenCast"});
    EXPECT_TRUE(services.hasScreenRecording());
    EXPECT_FALSE(services.isAccessibilityTrusted(false));
  }
  const FakePortal portal({"org.freedesktop.portal.ScreenCast", "org.freedesktop.portal.RemoteDesktop"});
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
