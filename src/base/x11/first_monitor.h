#pragma once
// Which part of the X screen the host shares: the primary RandR monitor, else the first
// monitor, else the whole root window. Capture and input injection both use this, so that
// (0, 0) and (1, 1) of the client's picture are the corners of the captured area.

#include <optional>
#include <vector>

#include "base/geometry.h"

struct _XDisplay;  // Xlib's Display

namespace quorin::x11 {

// Every monitor, the shared one first. Empty only when the screen has no size at all.
// Call on the thread that owns `display`.
std::vector<ScreenRect> monitorsSharedFirst(_XDisplay* display);

// The shared monitor, or nothing when there is none.
std::optional<ScreenRect> firstMonitor(_XDisplay* display);

}  // namespace quorin::x11
