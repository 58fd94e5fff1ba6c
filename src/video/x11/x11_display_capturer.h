#pragma once
// DisplayCapturer for an X11 screen. The first display is the primary RandR monitor, else the
// first monitor, else the whole root window. Each stream has its own X connection: pictures are
// grabbed through MIT-SHM, XDamage says whether anything was drawn since the last picture,
// and the pointer is drawn in from XFixes.

#include <memory>
#include <string>

#include "video/display_capturer.h"

namespace quorin {

class X11DisplayCapturer final : public DisplayCapturer {
 public:
  // `displayName` as XOpenDisplay takes it; empty means $DISPLAY.
  explicit X11DisplayCapturer(std::string displayName = {});

  // Whether the display can be opened and its root shows the desktop: false without a
  // display, without a monitor, and on Xwayland, whose root shows only the X clients.
  static bool showsDesktop(const std::string& displayName = {});

  // Opens a short-lived connection to list the monitors.
  ShareableContent shareableContent() override;
  std::unique_ptr<DisplayStream> openStream(const ScreenRect& display,
                                            CaptureError& error) override;

 private:
  std::string displayName_;
};

}  // namespace quorin
