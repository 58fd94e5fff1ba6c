#pragma once
// What the host needs of the desktop, asked afresh at every call (nothing is cached):
// screen recording means an X display whose monitors this process can read, accessibility
// means the X server takes synthetic input (the XTest extension). Each call opens its own
// connection to the display named by $DISPLAY, so any thread may call; a call may block
// while the X server answers.

namespace quorin::Permissions {

// $DISPLAY names a display this process can connect to.
bool hasGraphicalSession();

// An X display with at least one monitor whose pixels can be read. False in a Wayland
// session, whose X server (Xwayland) shows only the X clients, not the desktop.
bool hasScreenRecording();

// The X server offers the XTest extension. X11 has nothing to ask the user, so `prompt`
// changes nothing; it is kept so the panel reads the same as on other desktops.
bool isAccessibilityTrusted(bool prompt);

}  // namespace quorin::Permissions
