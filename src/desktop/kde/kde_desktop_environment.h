#pragma once
// The desktop of KDE Plasma on Wayland, shared through KWin's own screen cast and fake input:
// its outputs by name, the chosen one cast for each client, input in KWin's global layout.
// Nothing asks the user. KWin grants both only to a program that an installed desktop file
// names (the package's menu entry does, for /usr/bin/quorin-remote-host); elsewhere the host
// goes through the portal, which asks (see kwinGrantAdvice).

#include <string>
#include <vector>

#include "desktop/desktop_environment.h"

namespace quorin {

class KdeDesktopEnvironment final : public DesktopEnvironment {
 public:
  // What KWin at a Wayland display offers this program.
  enum class Offer {
    none,     // not KWin, or no compositor answers
    hidden,   // KWin, hiding its screen cast or fake input from this program
    granted,  // KWin, with both
  };
  // Asks the compositor at `display` ($WAYLAND_DISPLAY when empty), for two seconds at most.
  // Any thread.
  static Offer offer(const std::string& display = {});

  // `display` names KWin's Wayland socket ($WAYLAND_DISPLAY when empty).
  explicit KdeDesktopEnvironment(std::string display = {}) : display_(std::move(display)) {}

  std::vector<Monitor> monitors() override;
  Result makeSession(const std::string& monitor, const std::atomic<bool>& cancelled) override;

 private:
  const std::string display_;
};

// Why KWin hides its screen cast and fake input from this program, and what would grant
// them, for the log and the panel.
std::string kwinGrantAdvice();

}  // namespace quorin
