#include "gnome/mutter_monitor_switch.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <map>
#include <vector>

#include "base/sd_bus.h"

namespace quorin {
namespace {

constexpr BusMethod kGetState{"org.gnome.Mutter.DisplayConfig", "/org/gnome/Mutter/DisplayConfig",
                              "org.gnome.Mutter.DisplayConfig", "GetCurrentState"};
constexpr BusMethod kApply{kGetState.destination, kGetState.path, kGetState.interface, "ApplyMonitorsConfig"};
constexpr std::chrono::seconds kCall{5};
constexpr std::uint32_t kTemporary = 1;

struct Modes {
  std::string current, preferred;
  int preferredWidth = 0;
};
struct LogicalMonitor {
  int x = 0, y = 0;
  double scale = 1;
  std::uint32_t transform = 0;
  bool primary = false;
  std::vector<std::string> connectors;
};
struct State {
  std::uint32_t serial = 0;
  std::map<std::string, Modes> monitors;  // by connector
  std::vector<LogicalMonitor> logical;
};

// Reads a{sv} of mode properties for the two flags a mode carries.
bool readModeFlags(sd_bus_message* m, bool& current, bool& preferred) {
  if (sd_bus_message_enter_container(m, 'a', "{sv}") < 0) return false;
  while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
    const char* key = nullptr;
    if (sd_bus_message_read(m, "s", &key) < 0) return false;
    const std::string name = key;
    int flag = 0;
    if (name == "is-current" || name == "is-preferred") {
      if (sd_bus_message_read(m, "v", "b", &flag) < 0) return false;
      (name == "is-current" ? current : preferred) = flag;
    } else if (sd_bus_message_skip(m, "v") < 0) {
      return false;
    }
    sd_bus_message_exit_container(m);
  }
  return sd_bus_message_exit_container(m) >= 0;
}

bool readMonitors(sd_bus_message* m, State& state) {
  if (sd_bus_message_enter_container(m, 'a', "((ssss)a(siiddada{sv})a{sv})") < 0) return false;
  while (sd_bus_message_enter_container(m, 'r', "(ssss)a(siiddada{sv})a{sv}") > 0) {
    const char *connector = nullptr, *vendor = nullptr, *product = nullptr, *serial = nullptr;
    if (sd_bus_message_read(m, "(ssss)", &connector, &vendor, &product, &serial) < 0) return false;
    Modes& modes = state.monitors[connector];
    if (sd_bus_message_enter_container(m, 'a', "(siiddada{sv})") < 0) return false;
    while (sd_bus_message_enter_container(m, 'r', "siiddada{sv}") > 0) {
      const char* id = nullptr;
      int width = 0, height = 0;
      double rate = 0, scale = 0;
      bool current = false, preferred = false;
      if (sd_bus_message_read(m, "siidd", &id, &width, &height, &rate, &scale) < 0 ||
          sd_bus_message_skip(m, "ad") < 0 || !readModeFlags(m, current, preferred)) {
        return false;
      }
      if (current) modes.current = id;
      if (preferred) modes.preferred = id, modes.preferredWidth = width;
      sd_bus_message_exit_container(m);
    }
    sd_bus_message_exit_container(m);
    if (sd_bus_message_skip(m, "a{sv}") < 0) return false;
    sd_bus_message_exit_container(m);
  }
  return sd_bus_message_exit_container(m) >= 0;
}

bool readLogicalMonitors(sd_bus_message* m, State& state) {
  if (sd_bus_message_enter_container(m, 'a', "(iiduba(ssss)a{sv})") < 0) return false;
  while (sd_bus_message_enter_container(m, 'r', "iiduba(ssss)a{sv}") > 0) {
    LogicalMonitor& l = state.logical.emplace_back();
    int primary = 0;
    if (sd_bus_message_read(m, "iidub", &l.x, &l.y, &l.scale, &l.transform, &primary) < 0) return false;
    l.primary = primary;
    if (sd_bus_message_enter_container(m, 'a', "(ssss)") < 0) return false;
    const char *connector = nullptr, *vendor = nullptr, *product = nullptr, *serial = nullptr;
    while (sd_bus_message_read(m, "(ssss)", &connector, &vendor, &product, &serial) > 0) {
      l.connectors.emplace_back(connector);
    }
    sd_bus_message_exit_container(m);
    if (sd_bus_message_skip(m, "a{sv}") < 0) return false;
    sd_bus_message_exit_container(m);
  }
  return sd_bus_message_exit_container(m) >= 0;
}

bool append(sd_bus_message* call, const State& state, const std::vector<LogicalMonitor>& layout) {
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
      const Modes& modes = state.monitors.at(connector);
      const std::string& mode = modes.current.empty() ? modes.preferred : modes.current;
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
  State state;
  const SdBusMessagePtr reply = callBusMethod(bus.get(), kGetState, kCall, &error, nullptr);
  if (!reply) return false;
  if (sd_bus_message_read(reply.get(), "u", &state.serial) < 0 || !readMonitors(reply.get(), state) ||
      !readLogicalMonitors(reply.get(), state)) {
    error = "GetCurrentState: unexpected reply";
    return false;
  }
  if (!state.monitors.contains(connector)) {
    error = "mutter has no monitor " + connector;
    return false;
  }
  std::vector<LogicalMonitor> layout;
  int right = 0;
  for (const LogicalMonitor& l : state.logical) {
    if (std::ranges::find(l.connectors, connector) != l.connectors.end()) continue;
    layout.push_back(l);
    for (const std::string& c : l.connectors) right = std::max(right, l.x + state.monitors[c].preferredWidth);
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
