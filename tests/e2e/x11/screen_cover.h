#pragma once
// A window over the whole default screen of an X display, for the tests and benchmarks that
// paint what the host grabs. Override-redirect, so that no window manager moves, decorates or
// hides it.

#include <X11/Xlib.h>

namespace quorin {

struct ScreenCover {
  Window window = 0;
  int width = 0;
  int height = 0;
};

// Creates the window filled with `background` and raises it; the caller syncs when it needs
// the server to show it.
inline ScreenCover coverScreen(Display* display, unsigned long background) {
  const int screen = DefaultScreen(display);
  ScreenCover cover{0, DisplayWidth(display, screen), DisplayHeight(display, screen)};
  XSetWindowAttributes attributes{};
  attributes.override_redirect = True;
  attributes.background_pixel = background;
  cover.window = XCreateWindow(display, RootWindow(display, screen), 0, 0, cover.width, cover.height, 0,
                               CopyFromParent, InputOutput, CopyFromParent, CWOverrideRedirect | CWBackPixel,
                               &attributes);
  XMapRaised(display, cover.window);
  return cover;
}

}  // namespace quorin
