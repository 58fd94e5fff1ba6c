#include "base/x11/x_display.h"

#include <mutex>

// Xlibint.h defines min and max as macros: after every standard header.
#include <X11/Xlib.h>
#include <X11/Xlibint.h>

namespace quorin::x11 {

void DisplayCloser::operator()(Display* display) const { XCloseDisplay(display); }

DisplayPtr openDisplay(const char* name) {
  // The default handler prints "XIO: fatal IO error" for a loss we handle; the process-wide
  // handler only reports, the per-display exit handler decides what happens.
  static std::once_flag quiet;
  std::call_once(quiet, [] { XSetIOErrorHandler([](Display*) { return 0; }); });
  DisplayPtr display(XOpenDisplay(name));
  if (display) XSetIOErrorExitHandler(display.get(), [](Display*, void*) {}, nullptr);
  return display;
}

bool displayLost(Display* display) { return (display->flags & XlibDisplayIOError) != 0; }

}  // namespace quorin::x11
