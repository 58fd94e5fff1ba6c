#pragma once
// The desktop of an X11 screen: its RandR monitors, each streamed through its own X
// connection (x11_display_stream) with input through XTest on another; and the probes that
// say whether a display shows a desktop to share.

#include <string>
#include <vector>

#include "desktop/desktop_environment.h"
#include "video/capture_error.h"

namespace quorin {

namespace x11 {

// The monitors of the display, primary first; nothing, with `error` set, without a display.
std::vector<Monitor> listDisplayMonitors(const std::string& displayName, CaptureError& error);

// Whether the display can be opened and its root shows the desktop: false without a display,
// without a monitor, and on Xwayland, whose root shows only the X clients.
bool showsDesktop(const std::string& displayName = {});

}  // namespace x11

class X11DesktopEnvironment final : public DesktopEnvironment {
 public:
  // `displayName` as XOpenDisplay takes it; empty means $DISPLAY.
  explicit X11DesktopEnvironment(std::string displayName = {}) : displayName_(std::move(displayName)) {}

  std::vector<Monitor> monitors() override;
  Result makeSession(const std::string& monitor, const std::atomic<bool>& cancelled) override;

 private:
  const std::string displayName_;
};

}  // namespace quorin
