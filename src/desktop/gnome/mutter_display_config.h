#pragma once
// mutter's monitor layout (org.gnome.Mutter.DisplayConfig.GetCurrentState) as the host's
// monitors: one per logical monitor that shows a connector, named by that connector (`Meta-0`,
// `DP-1`, `eDP-1`), at its place in the layout, primary first. The size is in the layout's
// units, which are also those of the remote desktop's pointer motion (logical pixels where the
// desktop scales). A logical monitor that mirrors several connectors is named by the first.
// Calls take the caller's thread.

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "base/geometry.h"

struct sd_bus;
struct sd_bus_message;

namespace quorin::mutter {

// What GetCurrentState says of one connector and of one logical monitor, as read from the reply.
struct ConnectorMode {
  std::string connector;
  int width = 0;  // the current mode, in device pixels
  int height = 0;
  std::string currentMode{};  // mode ids, as ApplyMonitorsConfig takes them
  std::string preferredMode{};
  int preferredWidth = 0;
};
struct LogicalMonitor {
  int x = 0;
  int y = 0;
  double scale = 1;
  unsigned transform = 0;  // 1, 3, 5 and 7 turn it by a quarter
  bool primary = false;
  std::vector<std::string> connectors;
};
struct DisplayLayout {
  std::uint32_t serial = 0;  // ApplyMonitorsConfig takes it back
  std::vector<ConnectorMode> modes;
  std::vector<LogicalMonitor> logical;
  bool physicalLayout = false;  // layout-mode 2: the layout counts device pixels
};

// The host's monitors of `layout`.
std::vector<Monitor> monitorsOf(const DisplayLayout& layout);

// Reads a GetCurrentState reply; false when it is not one.
bool readDisplayLayout(sd_bus_message* reply, DisplayLayout& layout);

// Asks mutter on `bus`; empty when it does not answer within `limit`.
std::vector<Monitor> currentMonitors(sd_bus* bus, std::chrono::milliseconds limit);

}  // namespace quorin::mutter
