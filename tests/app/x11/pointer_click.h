#pragma once
// The pointer and the window tree of the X display named by $DISPLAY, as a user sees them
// (tests only).

#include <optional>

#include "base/geometry.h"

namespace quorin::x11 {

// Clicks the left button at a point, through XTest; false when the display or XTest is
// unavailable. The pointer moves onto the point from beside it first, as a hand would: a
// press with no motion before it, on a window that appeared under a resting pointer, was at
// times not taken as a click.
bool clickAt(int x, int y);

// Where the top-level window named `name` is on the screen; nothing when there is none.
std::optional<ScreenRect> topLevelWindowNamed(const char* name);

}  // namespace quorin::x11
