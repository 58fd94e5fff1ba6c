// The tray icon in a real system tray (trayer) on the test's X display, the permission probes
// against that display, and the Wayland ones against a stand-in portal on a bus of the test's own.

#include <gtest/gtest.h>

#include <QScreen>

#include <chrono>
#include <cstdlib>

#include "app/command_output.h"
#include "app/host_components.h"
#include "app/permissions.h"
#include "app/qt_task_runner.h"
#include "app/qt_test_app.h"
#include "app/server_with_fakes.h"
#include "app/tray_item.h"
#include "app/ui_style.h"
#include "app/wayland/permissions.h"
#include "app/x11/pointer_click.h"
#include "fakes/child_process.h"
#include "fakes/private_session_bus.h"
#include "fakes/require_service.h"
#include "video/wayland/fake_portal.h"

namespace quorin {
namespace {

using namespace std::chrono_literals;

// trayer's window as xwininfo reports it; empty while there is none.
QRect trayerWindow() {
  const std::string info = commandOutput("xwininfo -name panel 2>/dev/null");
  const auto field = [&](const std::string& name) {
    const std::size_t at = info.find(name + ":");
    return at == std::string::npos ? 0 : std::atoi(info.c_str() + at + name.size() + 1);
  };
  return {field("Absolute upper-left X"), field("Absolute upper-left Y"), field("Width"), field("Height")};
}

TEST(TrayX11, ProbesAndBackendFollowTheDisplaysAndTheIconSitsInARealTrayAndOpensThePanel) {
  QUORIN_REQUIRE(Permissions::hasGraphicalSession(), "no X display ($DISPLAY); scripts/test starts Xvfb");
  const std::string display = std::getenv("DISPLAY");
  // Unset where nullptr; scripts/test runs a Wayland desktop beside Xvfb.
  const struct {
    const char *display, *wayland, *backend;
    bool session, screen, input;
    DesktopBackend chosen;
  } cases[] = {
      {display.c_str(), nullptr, nullptr, true, true, true, DesktopBackend::x11},
      {display.c_str(), "wayland-0", nullptr, true, false, true, DesktopBackend::x11},  // Xvfb shows the desktop
      {display.c_str(), "wayland-0", "wayland", true, false, true, DesktopBackend::wayland},
      {":999", "wayland-0", nullptr, false, false, false, DesktopBackend::wayland},
      {":999", "wayland-0", "x11", false, false, false, DesktopBackend::x11},
      {nullptr, nullptr, nullptr, false, false, false, DesktopBackend::x11},  // X11 says what is missing
  };
  const auto put = [](const char* name, const char* value) { value ? setenv(name, value, 1) : unsetenv(name); };
  for (const auto& c : cases) {
    put("DISPLAY", c.display);
    put("WAYLAND_DISPLAY", c.wayland);
    put("QUORIN_BACKEND", c.backend);
    SCOPED_TRACE(&c - cases);
    EXPECT_EQ(Permissions::hasGraphicalSession(), c.session);
    EXPECT_EQ(Permissions::hasScreenRecording(), c.screen);
    EXPECT_EQ(Permissions::isAccessibilityTrusted(false), c.input);
    EXPECT_EQ(chooseDesktopBackend(), c.chosen);
  }
  setenv("DISPLAY", display.c_str(), 1);  // WAYLAND_DISPLAY stays unset: the panel's probes read X

  // The icon in a real tray.
  startApplication("xcb");

  // trayer, a stand-alone system tray, along the top edge at the right.
  ChildProcess trayer({"/usr/bin/trayer", "--edge", "top", "--align", "right", "--widthtype", "request",
                       "--height", "24"});
  QUORIN_REQUIRE(trayer.pid() > 0, "trayer is not installed");
  ASSERT_TRUE(processUntil([] { return QSystemTrayIcon::isSystemTrayAvailable(); })) << "no tray appeared";

  QtTaskRunner main;
  ServerWithFakes host(main, "Test Host");
  auto environment = host.environment();
  environment.permissions.isAccessibilityTrusted = Permissions::isAccessibilityTrusted;
  environment.permissions.hasScreenRecording = Permissions::hasScreenRecording;
  TrayItem tray(environment, host.identity, 0ms);
  ASSERT_FALSE(tray.usesWindow());
  // trayer's "panel" window grows around the icon once the icon is embedded, then moves
  // back inside the screen's right edge.
  QRect icon;
  const int screenRight = QGuiApplication::primaryScreen()->geometry().right();
  ASSERT_TRUE(processUntil([&] {
    icon = trayerWindow();
    return tray.icon().isVisible() && icon.width() >= 22 && icon.right() <= screenRight;
  }));
  auto shows = [&](const char* symbol, Tint tint) {
    return tray.icon().icon().pixmap(22).toImage() == ui::symbolPixmap(symbol, 22, ui::colorOf(tint)).toImage();
  };
  EXPECT_TRUE(shows("display.trianglebadge.exclamationmark", Tint::orange));
  host.server.start();
  ASSERT_TRUE(processUntil([&] { return host.server.isRunning(); }));
  EXPECT_TRUE(shows("display", Tint::teal));

  ASSERT_TRUE(x11::clickAt(icon.center().x(), icon.center().y()));
  ASSERT_TRUE(processUntil([&] { return tray.panel() && tray.panel()->isVisible(); }));
  const QRect panel = tray.panel()->frameGeometry();
  EXPECT_EQ(panel.width(), 300);
  EXPECT_TRUE(panel.top() > icon.bottom() && panel.top() <= icon.bottom() + 12) << "just below the icon";
  EXPECT_TRUE(panel.right() >= icon.left() && panel.left() <= icon.right()) << "under the icon";
  EXPECT_TRUE(processUntil([&] { return host.flags.hasAccessibility && host.flags.hasScreen; }))
      << "the real probes ran when the panel opened";

  // The same icon closes it again, and that click does not reopen it.
  ASSERT_TRUE(x11::clickAt(icon.center().x(), icon.center().y()));
  ASSERT_TRUE(processUntil([&] { return !tray.panel()->isVisible(); }));
  processUntil([] { return false; }, 500ms);
  EXPECT_FALSE(tray.panel()->isVisible());
}

TEST(WaylandPermissionsTest, RowsFollowThePortalOnTheBusAndTheStoredApproval) {
  PrivateSessionBus bus;  // starts nothing on demand, so no real portal answers
  ASSERT_FALSE(bus.address().empty());
  setenv("WAYLAND_DISPLAY", "no-compositor-here", 1);

  bool stored = true;
  const PermissionServices services = WaylandPermissions::services([&] { return stored; }, [] {});
  EXPECT_FALSE(services.hasScreenRecording());
  {
    // wlroots desktops: screen sharing, but no input through the portal.
    const FakePortal portal(bus.address(), false);
    EXPECT_TRUE(services.hasScreenRecording());
    EXPECT_FALSE(services.isAccessibilityTrusted(false));
  }
  const FakePortal portal(bus.address());
  EXPECT_TRUE(services.isAccessibilityTrusted(false));
  stored = false;  // the portal would ask first
  EXPECT_FALSE(services.hasScreenRecording());
  EXPECT_FALSE(services.isAccessibilityTrusted(true));
}

}  // namespace
}  // namespace quorin
