#include "base/x11/first_monitor.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include <algorithm>

namespace quorin::x11 {

std::vector<Monitor> listMonitors(Display* display) {
  std::vector<Monitor> monitors;
  int eventBase = 0;
  int errorBase = 0;
  const Window root = DefaultRootWindow(display);
  if (XRRQueryExtension(display, &eventBase, &errorBase)) {
    int count = 0;
    if (XRRMonitorInfo* info = XRRGetMonitors(display, root, True, &count)) {
      for (int i = 0; i < count; ++i) {
        Monitor monitor{{}, {info[i].x, info[i].y, info[i].width, info[i].height}, info[i].primary != 0};
        if (monitor.rect.width <= 0 || monitor.rect.height <= 0) continue;
        if (char* name = XGetAtomName(display, info[i].name)) {
          monitor.name = name;
          XFree(name);
        }
        monitors.insert(monitor.primary ? monitors.begin() : monitors.end(), std::move(monitor));
      }
      XRRFreeMonitors(info);
    }
  }
  if (monitors.empty()) {
    const int screen = DefaultScreen(display);
    const ScreenRect whole{0, 0, DisplayWidth(display, screen), DisplayHeight(display, screen)};
    if (whole.width > 0 && whole.height > 0) monitors.push_back({"screen", whole, true});
  }
  if (!monitors.empty()) monitors.front().primary = true;
  return monitors;
}

std::optional<ScreenRect> firstMonitor(Display* display) {
  const std::vector<Monitor> monitors = listMonitors(display);
  const Monitor* monitor = chooseMonitor(monitors, {});
  if (!monitor) return std::nullopt;
  return monitor->rect;
}

}  // namespace quorin::x11
