#pragma once
// The desktop of a wlroots compositor (sway and others) that lets clients copy its outputs
// and offers a virtual pointer: its outputs by name, each streamed through wlr-screencopy on a
// connection of its own, with input through virtual devices on another. Unlike the portal,
// nothing asks the user, and the output streamed is the one the client chose.

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "desktop/desktop_environment.h"
#include "video/capture_error.h"

namespace quorin {

namespace wayland {

// The compositor's outputs in the order it announced them, the first marked primary; nothing,
// with `error` set, without a compositor that answers. Any thread.
std::vector<Monitor> listOutputs(const std::string& displayName, CaptureError& error);

// Whether the compositor offers every global interface in `interfaces` (such as
// "zwlr_screencopy_manager_v1"); false when it is unreachable or does not answer within two
// seconds. Any thread.
bool compositorOffers(const std::string& displayName, std::initializer_list<std::string_view> interfaces);

}  // namespace wayland

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
