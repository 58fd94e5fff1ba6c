#include "app/x11/pointer_click.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

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

}  // namespace quorin::x11
