#include "kde/kwin_output_switch.h"

#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "base/wayland_client.h"
#include "kde-output-device-v2-client-protocol.h"
#include "kde-output-management-v2-client-protocol.h"

namespace quorin {
namespace {

constexpr auto kAnswerLimit = std::chrono::seconds(5);
// Version 2 of the device brings its name.
constexpr std::uint32_t kDeviceVersion = 2;

struct Device {
  kde_output_device_v2* proxy = nullptr;
  std::string name{};

  ~Device() {
    if (proxy) kde_output_device_v2_destroy(proxy);
  }
};

struct Connection {
  kde_output_management_v2* management = nullptr;
  std::vector<std::unique_ptr<Device>> devices{};
  std::optional<bool> applied{};  // KWin's answer to the configuration

  ~Connection() {
    devices.clear();
    if (management) kde_output_management_v2_destroy(management);
  }
};

// Only the name matters here; modes arrive as objects of their own, which are left unread.
const kde_output_device_v2_listener kDeviceListener = {
    .geometry = [](void*, kde_output_device_v2*, std::int32_t, std::int32_t, std::int32_t, std::int32_t, std::int32_t,
                   const char*, const char*, std::int32_t) {},
    .current_mode = [](void*, kde_output_device_v2*, kde_output_device_mode_v2*) {},
    .mode = [](void*, kde_output_device_v2*, kde_output_device_mode_v2*) {},
    .done = [](void*, kde_output_device_v2*) {},
    .scale = [](void*, kde_output_device_v2*, wl_fixed_t) {},
    .edid = [](void*, kde_output_device_v2*, const char*) {},
    .enabled = [](void*, kde_output_device_v2*, std::int32_t) {},
    .uuid = [](void*, kde_output_device_v2*, const char*) {},
    .serial_number = [](void*, kde_output_device_v2*, const char*) {},
    .eisa_id = [](void*, kde_output_device_v2*, const char*) {},
    .capabilities = [](void*, kde_output_device_v2*, std::uint32_t) {},
    .overscan = [](void*, kde_output_device_v2*, std::uint32_t) {},
    .vrr_policy = [](void*, kde_output_device_v2*, std::uint32_t) {},
    .rgb_range = [](void*, kde_output_device_v2*, std::uint32_t) {},
    .name = [](void* data, kde_output_device_v2*, const char* name) { static_cast<Device*>(data)->name = name; },
};

const kde_output_configuration_v2_listener kConfigurationListener = {
    .applied = [](void* data, kde_output_configuration_v2*) { static_cast<Connection*>(data)->applied = true; },
    .failed = [](void* data, kde_output_configuration_v2*) { static_cast<Connection*>(data)->applied = false; },
};

const wl_registry_listener kRegistryListener = {
    .global =
        [](void* data, wl_registry* registry, std::uint32_t name, const char* interface, std::uint32_t version) {
          auto& connection = *static_cast<Connection*>(data);
          if (std::strcmp(interface, kde_output_management_v2_interface.name) == 0 && !connection.management) {
            connection.management = static_cast<kde_output_management_v2*>(
                wl_registry_bind(registry, name, &kde_output_management_v2_interface, 1));
          } else if (std::strcmp(interface, kde_output_device_v2_interface.name) == 0 && version >= kDeviceVersion) {
            auto device = std::make_unique<Device>();
            device->proxy = static_cast<kde_output_device_v2*>(
                wl_registry_bind(registry, name, &kde_output_device_v2_interface, kDeviceVersion));
            kde_output_device_v2_add_listener(device->proxy, &kDeviceListener, device.get());
            connection.devices.push_back(std::move(device));
          }
        },
    .global_remove = [](void*, wl_registry*, std::uint32_t) {},
};

}  // namespace

bool setKwinOutputEnabled(const std::string& display, const std::string& name, bool enabled, std::string& error) {
  const DisplayPtr wayland(wl_display_connect(display.empty() ? nullptr : display.c_str()));
  if (!wayland) {
    error = "no Wayland compositor at " + (display.empty() ? std::string("$WAYLAND_DISPLAY") : display);
    return false;
  }
  Connection connection;
  const RegistryPtr registry(wl_display_get_registry(wayland.get()));
  wl_registry_add_listener(registry.get(), &kRegistryListener, &connection);
  // The first round trip binds the devices, the second brings their names.
  if (!roundtripWithin(wayland.get(), kAnswerLimit) || !roundtripWithin(wayland.get(), kAnswerLimit)) {
    error = "the compositor did not answer";
    return false;
  }
  if (!connection.management) {
    error = "the compositor offers no kde_output_management_v2: is it KWin?";
    return false;
  }
  const auto device = std::ranges::find(connection.devices, name, [](const auto& d) { return d->name; });
  if (device == connection.devices.end()) {
    error = "KWin has no output device called " + name;
    return false;
  }
  kde_output_configuration_v2* configuration = kde_output_management_v2_create_configuration(connection.management);
  kde_output_configuration_v2_add_listener(configuration, &kConfigurationListener, &connection);
  kde_output_configuration_v2_enable(configuration, (*device)->proxy, enabled ? 1 : 0);
  kde_output_configuration_v2_apply(configuration);
  // KWin answers once the new layout is in place, which may come after a round trip.
  const auto deadline = std::chrono::steady_clock::now() + kAnswerLimit;
  wl_display* events = wayland.get();
  while (!connection.applied && wl_display_dispatch_pending(events) >= 0 && wl_display_flush(events) >= 0 &&
         !connection.applied) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    pollfd readable{wl_display_get_fd(events), POLLIN, 0};
    if (left <= 0 || poll(&readable, 1, static_cast<int>(left)) <= 0 || wl_display_dispatch(events) < 0) break;
  }
  kde_output_configuration_v2_destroy(configuration);
  if (!connection.applied) {
    error = "KWin did not answer the configuration";
  } else if (!*connection.applied) {
    error = "KWin refused to " + std::string(enabled ? "enable " : "disable ") + name;
  }
  return connection.applied.value_or(false);
}

}  // namespace quorin
