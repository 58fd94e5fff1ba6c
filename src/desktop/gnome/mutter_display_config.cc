#include "desktop/gnome/mutter_display_config.h"

#include <algorithm>
#include <cmath>

#include "base/sd_bus.h"

namespace quorin::mutter {
namespace {

// Reads an a{sv}, calling `entry(key)` with the message at each value's variant; `entry`
// returns false to have the value skipped.
template <typename Entry>
bool readProperties(sd_bus_message* m, Entry entry) {
  if (sd_bus_message_enter_container(m, 'a', "{sv}") <= 0) return false;
  while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
    const char* key = nullptr;
    if (sd_bus_message_read(m, "s", &key) <= 0) return false;
    if (!entry(std::string(key)) && sd_bus_message_skip(m, "v") < 0) return false;
    if (sd_bus_message_exit_container(m) < 0) return false;
  }
  return sd_bus_message_exit_container(m) >= 0;
}

bool readBoolVariant(sd_bus_message* m, bool& value) {
  int flag = 0;
  const bool read = sd_bus_message_read(m, "v", "b", &flag) > 0;
  value = flag != 0;
  return read;
}

bool readMonitor(sd_bus_message* m, std::vector<ConnectorMode>& modes) {
  const char* connector = nullptr;
  if (sd_bus_message_read(m, "(ssss)", &connector, nullptr, nullptr, nullptr) <= 0) return false;
  ConnectorMode read{.connector = connector};
  if (sd_bus_message_enter_container(m, 'a', "(siiddada{sv})") <= 0) return false;
  while (sd_bus_message_enter_container(m, 'r', "siiddada{sv}") > 0) {
    const char* id = nullptr;
    int width = 0, height = 0;
    if (sd_bus_message_read(m, "sii", &id, &width, &height) <= 0 || sd_bus_message_skip(m, "ddad") < 0) return false;
    bool isCurrent = false, isPreferred = false;
    const bool flags = readProperties(m, [&](const std::string& key) {
      return (key == "is-current" && readBoolVariant(m, isCurrent)) ||
             (key == "is-preferred" && readBoolVariant(m, isPreferred));
    });
    if (!flags || sd_bus_message_exit_container(m) < 0) return false;
    if (isCurrent) {
      read.width = width;
      read.height = height;
      read.currentMode = id;
    }
    if (isPreferred) {
      read.preferredMode = id;
      read.preferredWidth = width;
    }
  }
  if (sd_bus_message_exit_container(m) < 0 || sd_bus_message_skip(m, "a{sv}") < 0) return false;
  modes.push_back(std::move(read));
  return true;
}

bool readLogicalMonitor(sd_bus_message* m, std::vector<LogicalMonitor>& logical) {
  LogicalMonitor monitor;
  int primary = 0;
  if (sd_bus_message_read(m, "iidub", &monitor.x, &monitor.y, &monitor.scale, &monitor.transform, &primary) <= 0 ||
      sd_bus_message_enter_container(m, 'a', "(ssss)") <= 0) {
    return false;
  }
  monitor.primary = primary != 0;
  const char* connector = nullptr;
  int read = 0;
  while ((read = sd_bus_message_read(m, "(ssss)", &connector, nullptr, nullptr, nullptr)) > 0) {
    monitor.connectors.emplace_back(connector);
  }
  if (read < 0 || sd_bus_message_exit_container(m) < 0 || sd_bus_message_skip(m, "a{sv}") < 0) return false;
  logical.push_back(std::move(monitor));
  return true;
}

}  // namespace

std::vector<Monitor> monitorsOf(const DisplayLayout& layout) {
  std::vector<Monitor> monitors;
  for (const LogicalMonitor& logical : layout.logical) {
    if (logical.connectors.empty()) continue;
    const auto mode = std::ranges::find(layout.modes, logical.connectors.front(), &ConnectorMode::connector);
    if (mode == layout.modes.end() || mode->width <= 0 || mode->height <= 0) continue;
    const bool turned = logical.transform % 2 == 1;
    const double scale = layout.physicalLayout || logical.scale <= 0 ? 1.0 : logical.scale;
    const int width = static_cast<int>(std::lround((turned ? mode->height : mode->width) / scale));
    const int height = static_cast<int>(std::lround((turned ? mode->width : mode->height) / scale));
    monitors.push_back({mode->connector, {logical.x, logical.y, width, height}, logical.primary});
  }
  std::ranges::stable_partition(monitors, &Monitor::primary);
  return monitors;
}

bool readDisplayLayout(sd_bus_message* m, DisplayLayout& layout) {
  if (sd_bus_message_read(m, "u", &layout.serial) <= 0 ||
      sd_bus_message_enter_container(m, 'a', "((ssss)a(siiddada{sv})a{sv})") <= 0) {
    return false;
  }
  while (sd_bus_message_enter_container(m, 'r', "(ssss)a(siiddada{sv})a{sv}") > 0) {
    if (!readMonitor(m, layout.modes) || sd_bus_message_exit_container(m) < 0) return false;
  }
  if (sd_bus_message_exit_container(m) < 0 || sd_bus_message_enter_container(m, 'a', "(iiduba(ssss)a{sv})") <= 0) {
    return false;
  }
  while (sd_bus_message_enter_container(m, 'r', "iiduba(ssss)a{sv}") > 0) {
    if (!readLogicalMonitor(m, layout.logical) || sd_bus_message_exit_container(m) < 0) return false;
  }
  if (sd_bus_message_exit_container(m) < 0) return false;
  return readProperties(m, [&](const std::string& key) {
    std::uint32_t mode = 0;
    if (key != "layout-mode" || sd_bus_message_read(m, "v", "u", &mode) <= 0) return false;
    layout.physicalLayout = mode == 2;
    return true;
  });
}

std::vector<Monitor> currentMonitors(sd_bus* bus, std::chrono::milliseconds limit) {
  const SdBusMessagePtr reply = callBusMethod(bus,
                                              {"org.gnome.Mutter.DisplayConfig", "/org/gnome/Mutter/DisplayConfig",
                                               "org.gnome.Mutter.DisplayConfig", "GetCurrentState"},
                                              limit, nullptr, nullptr);
  DisplayLayout layout;
  if (!reply || !readDisplayLayout(reply.get(), layout)) return {};
  return monitorsOf(layout);
}

}  // namespace quorin::mutter
