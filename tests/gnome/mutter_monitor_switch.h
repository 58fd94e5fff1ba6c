#pragma once
// Turns a monitor of the mutter on the session bus off or on again, as the Displays settings
// do, through org.gnome.Mutter.DisplayConfig.ApplyMonitorsConfig (the temporary method), from
// the state GetCurrentState gives: the other monitors keep their place and mode, and a monitor
// turned on again goes to the right of them in its preferred mode. Tests only.

#include <string>

namespace quorin {

// False with `error` set when mutter does not know `connector` or refuses the layout.
bool setMutterMonitorEnabled(const std::string& connector, bool enabled, std::string& error);

}  // namespace quorin
