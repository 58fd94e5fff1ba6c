#pragma once
// The pointer of the X display named by $DISPLAY, moved as a user moves it (tests only).

namespace quorin::x11 {

// Clicks the left button at a point, through XTest; false when the display or XTest is
// unavailable. The pointer moves onto the point from beside it first, as a hand would: a
// press with no motion before it, on a window that appeared under a resting pointer, was at
// times not taken as a click.
bool clickAt(int x, int y);

}  // namespace quorin::x11
