#pragma once
// What the host needs of a Wayland desktop. The screen, and on GNOME and KDE the input, go
// through the desktop portal, which asks the user once and remembers the approval behind a
// restore token the host keeps; wlroots compositors take input through their virtual pointer
// and keyboard instead, with nothing to ask. Every probe asks afresh; any thread may call,
// and a call blocks for at most a second per question.

#include <functional>

#include "app/menu_view_model.h"

namespace quorin::WaylandPermissions {

struct PortalOffer {
  bool screenCast = false;     // org.freedesktop.portal.ScreenCast
  bool remoteDesktop = false;  // org.freedesktop.portal.RemoteDesktop
};
// Which portal interfaces answer on the session bus (this may start the portal).
PortalOffer portalOffer();

// The compositor of $WAYLAND_DISPLAY offers the wlroots virtual pointer and virtual keyboard.
bool hasVirtualInput();

// The panel's services on Wayland. Screen Recording is granted when the portal offers
// ScreenCast and `approvalStored` says a restore token is kept; Accessibility when the same
// holds for RemoteDesktop, or when the compositor offers virtual input. Both "Grant" buttons
// run `requestApproval`, which is to start the portal session that brings up its dialog.
// `approvalStored` is called on the panel's probe thread as well as on the main thread.
PermissionServices services(std::function<bool()> approvalStored,
                            std::function<void()> requestApproval);

}  // namespace quorin::WaylandPermissions
