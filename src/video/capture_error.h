#pragma once
// Why a desktop cannot be shared, or stopped being shared: every sentence the host shows the
// user about it (they reach the client and the host's last error, and clients and tests
// compare them as written), in one place. A desktop that cannot make a session, a stream that
// cannot open or ends, and the wait for a stream's first picture all report one of these.

#include <cstring>
#include <string>
#include <string_view>

namespace quorin {

struct CaptureError {
  std::string domain;
  int code = 0;
  std::string description;
  bool operator==(const CaptureError&) const = default;
};

// The host's own.

// The screen has no display to capture.
inline CaptureError noDisplayFoundError() { return {"QuorinRemote", 1, "No display found"}; }
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
// A stream that sent no picture and cannot say how large its screen is.
inline CaptureError noPictureError() { return {"QuorinRemote", 9, "The shared screen sent no picture."}; }
// The client went away while its stream waited for the first picture.
inline CaptureError screenNotNeededError() { return {"QuorinRemote", 10, "The screen was not needed any more."}; }
// GNOME, shared through mutter's own service.
inline CaptureError screenLockedError() {
  return {"QuorinRemote", 11, "The screen of this computer is locked; unlock it to connect again."};
}
inline CaptureError compositorGoneError() {
  return {"QuorinRemote", 12, "The desktop's compositor went away; connect again once the desktop is back."};
}
inline CaptureError mutterFailedError() {
  return {"QuorinRemote", 13, "GNOME could not start sharing the screen."};
}
// KDE, shared through KWin's own screen cast.
inline CaptureError kwinFailedError() {
  return {"QuorinRemote", 14, "KDE could not start sharing the screen."};
}

// An X display.

enum X11ErrorCode {
  kX11CannotConnect = 1,
  kX11MissingExtension = 2,
  kX11UnsupportedVisual = 3,
  kX11SharedMemoryFailed = 4,
  kX11DisplayLost = 5,
};

// `shown`: the display's name as XDisplayName gives it; empty when DISPLAY is not set.
inline CaptureError cannotOpenDisplayError(const std::string& shown) {
  return {"X11", kX11CannotConnect,
          shown.empty() ? "Cannot open the X display: DISPLAY is not set" : "Cannot open the X display \"" + shown + "\""};
}
inline CaptureError displayNotAnsweringError() {
  return {"X11", kX11CannotConnect, "The X display does not answer, so its screen cannot be shared now."};
}
// `extension` as the sentence names it: "MIT-SHM", "DAMAGE", "XFIXES 2".
inline CaptureError missingExtensionError(std::string_view extension) {
  return {"X11", kX11MissingExtension, "The X server has no " + std::string(extension) + " extension"};
}
inline CaptureError damageRefusedError(int xError) {
  return {"X11", kX11MissingExtension, "The X server refused damage tracking (error " + std::to_string(xError) + ")"};
}
inline CaptureError unsupportedVisualError() {
  return {"X11", kX11UnsupportedVisual, "The X screen does not use 32-bit BGRX pixels"};
}
inline CaptureError sharedMemoryRefusedError() {
  return {"X11", kX11SharedMemoryFailed, "The X server could not attach shared memory"};
}
// A system call of the X capture that failed with `errorNumber`: "shmget failed: ...".
inline CaptureError x11CallFailedError(X11ErrorCode code, std::string_view call, int errorNumber) {
  return {"X11", code, std::string(call) + " failed: " + std::strerror(errorNumber)};
}
// `stoppedAnswering`: the host cut the display off; otherwise its connection broke.
inline CaptureError displayLostError(bool stoppedAnswering) {
  return {"X11", kX11DisplayLost,
          stoppedAnswering ? "The X display stopped answering, so the session ended."
                           : "The connection to the X display was lost, so the session ended."};
}

// A wlroots compositor.

inline CaptureError compositorUnreachableError() { return {"Wayland", 1, "Cannot connect to the Wayland compositor"}; }
inline CaptureError noScreencopyError() {
  return {"Wayland", 2, "The Wayland compositor does not let the host copy its screen."};
}
inline CaptureError noOutputError() { return {"Wayland", 3, "The Wayland compositor has no output to share."}; }
inline CaptureError compositorLostError() {
  return {"Wayland", 4, "The connection to the Wayland compositor was lost, so the session ended."};
}
inline CaptureError unsupportedFormatError() {
  return {"Wayland", 5, "The Wayland compositor offers its screen only in a pixel format the host cannot read."};
}
inline CaptureError compositorSilentError() { return {"Wayland", 6, "The Wayland compositor did not answer in time."}; }

}  // namespace quorin
