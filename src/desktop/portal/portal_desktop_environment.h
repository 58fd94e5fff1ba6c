#pragma once
// The desktop of a Wayland compositor, shared through the screen-sharing portal: the user
// picks the monitor in the portal's dialog the first time, and later sessions restore that
// choice with the token kept through `TokenStore`. Pictures come from PipeWire. Input goes
// through virtual devices of our own where the compositor offers them (wlroots), else through
// the remote desktop grant of the same portal session (GNOME, KDE).

#include <functional>
#include <mutex>
#include <string>

#include "desktop/desktop_environment.h"
#include "video/wayland/portal_session.h"

namespace quorin {

class PortalDesktopEnvironment final : public DesktopEnvironment {
 public:
  // Where the portal's restore token is kept between runs. `save` is called on the desktop
  // thread that made the session.
  struct TokenStore {
    std::string initial;
    std::function<void(const std::string&)> save;
  };

  explicit PortalDesktopEnvironment(TokenStore tokens, PortalSession::Options options = {});

  std::vector<Monitor> monitors() override { return {}; }
  Result makeSession(const std::string& monitor, const std::atomic<bool>& cancelled) override;

 private:
  PortalSession::Options options_;
  std::function<void(const std::string&)> save_;
  std::mutex mutex_;
  std::string token_;  // the newest restore token, under mutex_
};

}  // namespace quorin
