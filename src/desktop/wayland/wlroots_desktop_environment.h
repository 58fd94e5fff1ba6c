#pragma once
// The desktop of a wlroots compositor (sway and others) that lets clients copy its outputs
// and offers a virtual pointer: its outputs by name, each streamed through wlr-screencopy on a
// connection of its own, with input through virtual devices on another. Unlike the portal,
// nothing asks the user, and the output streamed is the one the client chose.

#include <string>

#include "desktop/desktop_environment.h"

namespace quorin {

class WlrootsDesktopEnvironment final : public DesktopEnvironment {
 public:
  // `displayName` as wl_display_connect takes it; empty means $WAYLAND_DISPLAY.
  explicit WlrootsDesktopEnvironment(std::string displayName = {}) : displayName_(std::move(displayName)) {}

  // Whether the compositor offers what this desktop needs: screencopy and the virtual
  // pointer. Asks it, for a second or two at most. Any thread.
  static bool offeredBy(const std::string& displayName = {});

  std::vector<Monitor> monitors() override;
  Result makeSession(const std::string& monitor, const std::atomic<bool>& cancelled) override;

 private:
  // The name of the output a stream asked for `monitor` shows.
  std::string streamedOutput(const std::string& monitor);

  const std::string displayName_;
};

}  // namespace quorin
