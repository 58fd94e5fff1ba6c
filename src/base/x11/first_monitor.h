#pragma once
// The monitors of an X screen and which one the host shares: the one asked for by name, else
// the primary RandR monitor, else the first monitor, else the whole root window.

#include <optional>
#include <string>
#include <vector>

#include "base/geometry.h"

struct _XDisplay;  // Xlib's Display

namespace quorin::x11 {

// Every monitor, the primary one first (marked primary even when RandR names none, so that
// there is always one to fall back on). Empty only when the screen has no size at all; a
// screen without RandR monitors is one monitor named "screen". Call on the thread that owns
// `display`.
std::vector<Monitor> listMonitors(_XDisplay* display);


// The monitor shared when nothing was chosen.
std::optional<ScreenRect> firstMonitor(_XDisplay* display);

}  // namespace quorin::x11
