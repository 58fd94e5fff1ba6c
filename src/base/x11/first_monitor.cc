#include "base/x11/first_monitor.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

namespace quorin::x11 {

std::vector<ScreenRect> monitorsSharedFirst(Display* display) {
  std::vector<ScreenRect> monitors;
  int eventBase = 0;
  int errorBase = 0;
  const Window root = DefaultRootWindow(display);
  if (XRRQueryExtension(display, &eventBase, &errorBase)) {
    int count = 0;
    if (XRRMonitorInfo* info = XRRGetMonitors(display, root, True, &count)) {
      for (int i = 0; i < count; ++i) {
        const ScreenRect rect{info[i].x, info[i].y, info[i].width, info[i].height};
        if (rect.width <= 0 || rect.height <= 0) continue;
        if (info[i].primary) {
          monitors.insert(monitors.begin(), rect);
        } else {
          monitors.push_back(rect);
        }
      }
      XRRFreeMonitors(info);
    }
  }
  if (monitors.empty()) {
    const int screen = DefaultScreen(display);
    const ScreenRect whole{0, 0, DisplayWidth(display, screen), DisplayHeight(display, screen)};
    if (whole.width > 0 && whole.height > 0) monitors.push_back(whole);
  }
  return monitors;
}

std::optional<ScreenRect> firstMonitor(Display* display) {
  auto monitors = monitorsSharedFirst(display);
  if (monitors.empty()) return std::nullopt;
  return monitors.front();
}

}  // namespace quorin::x11
