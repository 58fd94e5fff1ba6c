#pragma once
// The desktop of one backend (X11, or Wayland through the screen-sharing portal), as the host
// serves it: which monitors there are, and a desktop session per client. The composition root
// picks the environment; the client session asks it for a session through a
// DesktopSessionRequest, which makes the session off the main thread.

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "base/geometry.h"
#include "desktop/desktop_session.h"
#include "video/capture_error.h"

namespace quorin {

class DesktopEnvironment {
 public:
  struct Result {
    std::unique_ptr<DesktopSession> session;
    CaptureError error;  // why there is no session, for the user
  };

  virtual ~DesktopEnvironment() = default;

  // The monitors a user may choose from, primary first. Empty where the desktop lets the user
  // choose in its own dialog (a portal). Any thread.
  virtual std::vector<Monitor> monitors() = 0;

  // Opens the monitor called `monitor` (empty, or one that is not there: the primary one) and
  // its input, and waits for its first picture. Blocks, possibly for long (a portal dialog);
  // gives up soon after `cancelled` is set. Runs on a desktop thread of its own.
  virtual Result makeSession(const std::string& monitor, const std::atomic<bool>& cancelled) = 0;
};

}  // namespace quorin
