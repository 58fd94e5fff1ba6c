#include "gnome/mutter_monitor_switch.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <vector>

#include "base/sd_bus.h"
#include "desktop/gnome/mutter_display_config.h"

namespace quorin {
namespace {

constexpr BusMethod kGetState{"org.gnome.Mutter.DisplayConfig", "/org/gnome/Mutter/DisplayConfig",
                              "org.gnome.Mutter.DisplayConfig", "GetCurrentState"};
constexpr BusMethod kApply{kGetState.destination, kGetState.path, kGetState.interface, "ApplyMonitorsConfig"};
constexpr std::chrono::seconds kCall{5};
constexpr std::uint32_t kTemporary = 1;

using mutter::ConnectorMode;
using mutter::DisplayLayout;
using mutter::LogicalMonitor;

const ConnectorMode* modesOf(const DisplayLayout& state, const std::string& connector) {
  const auto found = std::ranges::find(state.modes, connector, &ConnectorMode::connector);
  return found == state.modes.end() ? nullptr : &*found;
}

bool append(sd_bus_message* call, const DisplayLayout& state, const std::vector<LogicalMonitor>& layout) {
  if (sd_bus_message_append(call, "uu", state.serial, kTemporary) < 0 ||
      sd_bus_message_open_container(call, 'a', "(iiduba(ssa{sv}))") < 0) {
    return false;
  }
  for (const LogicalMonitor& l : layout) {
    if (sd_bus_message_open_container(call, 'r', "iiduba(ssa{sv})") < 0 ||
        sd_bus_message_append(call, "iidub", l.x, l.y, l.scale, l.transform, int(l.primary)) < 0 ||
        sd_bus_message_open_container(call, 'a', "(ssa{sv})") < 0) {
      return false;
    }
    for (const std::string& connector : l.connectors) {
      const ConnectorMode& modes = *modesOf(state, connector);
      const std::string& mode = modes.currentMode.empty() ? modes.preferredMode : modes.currentMode;
      if (sd_bus_message_append(call, "(ssa{sv})", connector.c_str(), mode.c_str(), 0) < 0) return false;
    }
    if (sd_bus_message_close_container(call) < 0 || sd_bus_message_close_container(call) < 0) return false;
  }
  return sd_bus_message_close_container(call) >= 0 && sd_bus_message_append(call, "a{sv}", 0) >= 0;
}

}  // namespace

bool setMutterMonitorEnabled(const std::string& connector, bool enabled, std::string& error) {
  SdBusPtr bus;
  if (sd_bus_open_user(bus.out()) < 0) {
    error = "no session bus";
    return false;
  }
  DisplayLayout state;
  const SdBusMessagePtr reply = callBusMethod(bus.get(), kGetState, kCall, &error, nullptr);
  if (!reply) return false;
  if (!mutter::readDisplayLayout(reply.get(), state)) {
    error = "GetCurrentState: unexpected reply";
    return false;
  }
  if (!modesOf(state, connector)) {
    error = "mutter has no monitor " + connector;
    return false;
  }
  std::vector<LogicalMonitor> layout;
  int right = 0;
  for (const LogicalMonitor& l : state.logical) {
    if (std::ranges::find(l.connectors, connector) != l.connectors.end()) continue;
    layout.push_back(l);
    for (const std::string& c : l.connectors) {
      if (const ConnectorMode* modes = modesOf(state, c)) right = std::max(right, l.x + modes->preferredWidth);
    }
  }
  if (enabled) layout.push_back({.x = right, .connectors = {connector}});

  SdBusMessagePtr call;
  if (sd_bus_message_new_method_call(bus.get(), call.out(), kApply.destination, kApply.path, kApply.interface,
                                     kApply.member) < 0 ||
      !append(call.get(), state, layout)) {
    error = "ApplyMonitorsConfig: the call could not be made";
    return false;
  }
  SdBusError failure;
  SdBusMessagePtr applied;
  const int status = sd_bus_call(bus.get(), call.get(), busMicroseconds(kCall), &failure.e, applied.out());
  if (status < 0) error = "ApplyMonitorsConfig: " + failure.text(status);
  return status >= 0;
}

}  // namespace quorin
