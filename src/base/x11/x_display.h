#pragma once
// X connections that fail instead of ending the process. Xlib's answer to a lost connection
// (the server ended, the socket was shut) is exit(); a connection opened here makes the call
// that found the loss return instead, and displayLost() tells it from then on. The host then
// ends the session that used the display, not the process.

#include <memory>

struct _XDisplay;  // Xlib's Display

namespace quorin::x11 {

struct DisplayCloser {
  void operator()(_XDisplay* display) const;
};
using DisplayPtr = std::unique_ptr<_XDisplay, DisplayCloser>;

// XOpenDisplay(`name`) (nullptr: $DISPLAY); nothing when no display is reachable.
DisplayPtr openDisplay(const char* name);

bool displayLost(_XDisplay* display);

}  // namespace quorin::x11
