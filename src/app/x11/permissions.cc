#include "app/permissions.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

#include <cstdlib>
#include <string_view>

#include "base/x11/connection_cut.h"
#include "base/x11/first_monitor.h"
#include "base/x11/round_trip_watch.h"
#include "base/x11/x_display.h"
#include "video/x11/x_error_trap.h"

namespace quorin::Permissions {
namespace {

// The panel probes on the main thread: a hung X server costs it at most the open's limit and
// then the round-trip limit, never a freeze.
x11::DisplayPtr openDisplay() {
  const char* name = std::getenv("DISPLAY");
  if (!name || !*name) return nullptr;
  return x11::openDisplay(name, x11::kOpenLimit, x11::kNeverCancelled);
}

// `probe`'s answer on the display, with its round trips under a watch; false when the display
// cannot be opened or stops answering.
template <class Probe>
bool probeDisplay(Probe probe) {
  x11::DisplayPtr display = openDisplay();
  if (!display) return false;
  x11::ConnectionCut cut(display.get());
  x11::RoundTripWatch watch([&cut] { cut.cut(); });
  const auto trip = watch.begin();
  const bool answer = probe(display.get()) && !x11::displayLost(display.get());
  display.reset();  // closing waits for the server too
  return answer;
}

bool isWaylandSession() {
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  const char* type = std::getenv("XDG_SESSION_TYPE");
  return (wayland && *wayland) || (type && std::string_view(type) == "wayland");
}

}  // namespace

bool hasGraphicalSession() { return probeDisplay([](Display*) { return true; }); }

bool hasScreenRecording() {
  if (isWaylandSession()) return false;
  return probeDisplay([](Display* display) {
    const auto monitor = x11::firstMonitor(display);
    if (!monitor) return false;
    // Read one pixel of the shared monitor: a server that refuses reads fails here.
    x11::XErrorTrap trap(display);
    XImage* image = XGetImage(display, DefaultRootWindow(display), monitor->x, monitor->y, 1, 1, AllPlanes, ZPixmap);
    const bool read = image != nullptr && trap.takeError() == 0;
    if (image) XDestroyImage(image);
    return read;
  });
}

bool isAccessibilityTrusted(bool /*prompt*/) {
  return probeDisplay([](Display* display) {
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    return XTestQueryExtension(display, &eventBase, &errorBase, &major, &minor) != 0;
  });
}

}  // namespace quorin::Permissions
