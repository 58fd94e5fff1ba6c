#include "app/wayland/permissions.h"

#include <wayland-client.h>

#include <cstring>
#include <memory>
#include <utility>

#include "base/sd_bus.h"
#include "base/wayland_client.h"

namespace quorin::WaylandPermissions {
namespace {

bool portalAnswers(sd_bus* bus, const char* interface) {
  return callBusMethod(bus,
                       {"org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
                        "org.freedesktop.DBus.Properties", "Get"},
                       std::chrono::milliseconds(1000), nullptr, "ss", interface, "version") != nullptr;
}

struct Globals {
  bool virtualPointer = false;
  bool virtualKeyboard = false;
};

const wl_registry_listener kRegistryListener = {
    [](void* data, wl_registry*, std::uint32_t, const char* interface, std::uint32_t) {
      auto* globals = static_cast<Globals*>(data);
      if (std::strcmp(interface, "zwlr_virtual_pointer_manager_v1") == 0) globals->virtualPointer = true;
      if (std::strcmp(interface, "zwp_virtual_keyboard_manager_v1") == 0) globals->virtualKeyboard = true;
    },
    [](void*, wl_registry*, std::uint32_t) {}};

}  // namespace

PortalOffer portalOffer() {
  sd_bus* raw = nullptr;
  if (sd_bus_open_user(&raw) < 0) return {};
  const SdBusPtr bus(raw);
  return {.screenCast = portalAnswers(bus.get(), "org.freedesktop.portal.ScreenCast"),
          .remoteDesktop = portalAnswers(bus.get(), "org.freedesktop.portal.RemoteDesktop")};
}

bool hasVirtualInput() {
  const DisplayPtr display(wl_display_connect(nullptr));
  if (!display) return false;
  const RegistryPtr registry(wl_display_get_registry(display.get()));
  Globals globals;
  wl_registry_add_listener(registry.get(), &kRegistryListener, &globals);
  if (!roundtripWithin(display.get(), std::chrono::milliseconds(1000))) return false;
  return globals.virtualPointer && globals.virtualKeyboard;
}

PermissionServices services(std::function<bool()> approvalStored,
                            std::function<void()> requestApproval) {
  // The prompt flag asks nothing here: the portal's dialog comes with the approval request.
  return {
      .isAccessibilityTrusted =
          [approvalStored](bool /*prompt*/) {
            return (approvalStored() && portalOffer().remoteDesktop) || hasVirtualInput();
          },
      .hasScreenRecording = [approvalStored] { return approvalStored() && portalOffer().screenCast; },
      .openScreenRecordingSettings = requestApproval,
      .openAccessibilitySettings = std::move(requestApproval),
  };
}

}  // namespace quorin::WaylandPermissions
