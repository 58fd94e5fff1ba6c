#include "app/permissions.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

#include <cstdlib>
#include <memory>
#include <string_view>

#include "base/x11/first_monitor.h"
#include "video/x11/x_error_trap.h"

namespace quorin::Permissions {
namespace {

struct DisplayCloser {
  void operator()(Display* display) const { XCloseDisplay(display); }
};
using DisplayPtr = std::unique_ptr<Display, DisplayCloser>;

DisplayPtr openDisplay() {
  const char* name = std::getenv("DISPLAY");
  if (!name || !*name) return nullptr;
  return DisplayPtr(XOpenDisplay(name));
}

bool isWaylandSession() {
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  const char* type = std::getenv("XDG_SESSION_TYPE");
  return (wayland && *wayland) || (type && std::string_view(type) == "wayland");
}

}  // namespace

bool hasGraphicalSession() { return openDisplay() != nullptr; }

bool hasScreenRecording() {
  if (isWaylandSession()) return false;
  const DisplayPtr display = openDisplay();
  if (!display) return false;
  const auto monitor = x11::firstMonitor(display.get());
  if (!monitor) return false;
  // Read one pixel of the shared monitor: a server that refuses reads fails here.
  x11::XErrorTrap trap(display.get());
  XImage* image = XGetImage(display.get(), DefaultRootWindow(display.get()), monitor->x,
                            monitor->y, 1, 1, AllPlanes, ZPixmap);
  const bool read = image != nullptr && trap.takeError() == 0;
  if (image) XDestroyImage(image);
  return read;
}

bool isAccessibilityTrusted(bool /*prompt*/) {
  const DisplayPtr display = openDisplay();
  if (!display) return false;
  int eventBase = 0, errorBase = 0, major = 0, minor = 0;
  return XTestQueryExtension(display.get(), &eventBase, &errorBase, &major, &minor);
}

}  // namespace quorin::Permissions
