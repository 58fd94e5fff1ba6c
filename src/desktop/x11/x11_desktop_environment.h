#pragma once
// The desktop of an X11 screen: its RandR monitors, each streamed through its own X
// connection (x11_display_stream) with input through XTest on another.

#include <string>

#include "desktop/desktop_environment.h"

namespace quorin {

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
