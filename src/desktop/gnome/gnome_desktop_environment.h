#pragma once
// The desktop of GNOME on Wayland, shared through mutter's own remote desktop and screen cast
// services: its monitors by connector name, each client's monitor recorded in a remote desktop
// session of its own, with input through that session. Nothing asks the user; GNOME shows its
// screen-sharing indicator, whose Stop ends the session. Where mutter refuses the session for
// another reason than a locked screen (a sandbox, a policy), the fallback environment (the
// portal) serves instead.

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "desktop/desktop_environment.h"

namespace quorin {

class MutterRemoteDesktop;

class GnomeDesktopEnvironment final : public DesktopEnvironment {
 public:
  // `waylandDisplay` names mutter's Wayland socket ($WAYLAND_DISPLAY when empty).
  explicit GnomeDesktopEnvironment(std::shared_ptr<DesktopEnvironment> fallback, std::string waylandDisplay = {});

  // Whether mutter's remote desktop and screen cast services are on the session bus; asks the
  // bus itself, never the names. Any thread.
  static bool offered();

  std::vector<Monitor> monitors() override;
  Result makeSession(const std::string& monitor, const std::atomic<bool>& cancelled) override;

  // Stops every session this environment made that still runs, as GNOME's Stop button
  // would. For tests. Any thread.
  void stopSessionsForTesting();

  // Each bus call waits at most this long: a mutter stopped mid-session may keep its names
  // and answer nothing.
  static constexpr std::chrono::milliseconds kCallLimit{3000};

 private:
  const std::shared_ptr<DesktopEnvironment> fallback_;
  const std::string waylandDisplay_;
  std::mutex mutex_;
  std::vector<std::weak_ptr<MutterRemoteDesktop>> sessions_;  // under mutex_
};

}  // namespace quorin
