#pragma once
// Why screen sharing through the desktop portal, or a compositor's own service, could not
// start or ended: sentences for the user (they become the host's last error).

#include "video/capture_error.h"

namespace quorin {

inline CaptureError portalUnavailableError() {
  return {"QuorinRemote", 2,
          "The desktop offers no screen-sharing portal (xdg-desktop-portal is not running)."};
}
inline CaptureError sharingRefusedError() {
  return {"QuorinRemote", 3, "Screen sharing was not allowed on this computer."};
}
inline CaptureError portalTimeoutError() {
  return {"QuorinRemote", 4, "The screen-sharing portal did not answer in time."};
}
inline CaptureError portalFailedError() {
  return {"QuorinRemote", 5, "The screen-sharing portal could not start sharing the screen."};
}
inline CaptureError pipeWireError() {
  return {"QuorinRemote", 6, "The shared screen's picture stream could not be opened."};
}
inline CaptureError sharingEndedError() {
  return {"QuorinRemote", 7, "Screen sharing was stopped on this computer."};
}
inline CaptureError sharingWithdrawnError() {
  return {"QuorinRemote", 8, "The request to share the screen was withdrawn: its client went away."};
}

// GNOME shares the screen through mutter's own service.
inline CaptureError screenLockedError() {
  return {"QuorinRemote", 9, "The screen of this computer is locked; unlock it to connect again."};
}
inline CaptureError compositorGoneError() {
  return {"QuorinRemote", 10, "The desktop's compositor went away; connect again once the desktop is back."};
}

}  // namespace quorin
