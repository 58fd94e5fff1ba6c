#pragma once
// Turns an output of a KWin off or on again, as the Display Configuration settings do, through
// kde_output_management_v2 and kde_output_device_v2, which KWin offers to every client: the
// other outputs keep their place and mode. A disabled output's wl_output goes away; its output
// device stays, by which it is enabled again. Tests only; waits for KWin's answer on the
// calling thread, within a time limit.

#include <string>

namespace quorin {

// Sets the output called `name` (Virtual-1) of the KWin at `display` ($WAYLAND_DISPLAY when
// empty) enabled or not. False with `error` set when KWin does not answer, has no such
// output, or refuses the configuration.
bool setKwinOutputEnabled(const std::string& display, const std::string& name, bool enabled, std::string& error);

}  // namespace quorin
