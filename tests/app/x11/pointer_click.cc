#include "app/x11/pointer_click.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <string_view>

namespace quorin::x11 {

bool clickAt(int x, int y) {
  Display* display = XOpenDisplay(nullptr);
  if (!display) return false;
  int eventBase = 0, errorBase = 0, major = 0, minor = 0;
  const bool clicked = XTestQueryExtension(display, &eventBase, &errorBase, &major, &minor) &&
                       XTestFakeMotionEvent(display, -1, x - 1, y - 1, 0) &&
                       XTestFakeMotionEvent(display, -1, x, y, 10) &&
                       XTestFakeButtonEvent(display, 1, True, 0) &&
                       XTestFakeButtonEvent(display, 1, False, 0);
  XSync(display, False);
  XCloseDisplay(display);
  return clicked;
}

std::optional<ScreenRect> topLevelWindowNamed(const char* name) {
  Display* display = XOpenDisplay(nullptr);
  if (!display) return std::nullopt;
  std::optional<ScreenRect> found;
  Window root = 0, parent = 0;
  Window* children = nullptr;
  unsigned count = 0;
  if (XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count)) {
    for (unsigned i = 0; i < count && !found; ++i) {
      char* windowName = nullptr;
      XWindowAttributes attributes;
      if (XFetchName(display, children[i], &windowName) && windowName &&
          std::string_view(windowName) == name && XGetWindowAttributes(display, children[i], &attributes)) {
        found = ScreenRect{attributes.x, attributes.y, attributes.width, attributes.height};
      }
      if (windowName) XFree(windowName);
    }
    if (children) XFree(children);
  }
  XCloseDisplay(display);
  return found;
}

}  // namespace quorin::x11
