#include "video/wayland/screencopy_connection.h"

#include <algorithm>

namespace quorin::wayland {

void ScreencopyConnection::bindGlobal(wl_registry* registry, std::uint32_t name, std::string_view interface,
                                      std::uint32_t version) {
  if (interface == wl_shm_interface.name) {
    shm_.reset(static_cast<wl_shm*>(wl_registry_bind(registry, name, &wl_shm_interface, 1)));
  } else if (interface == zwlr_screencopy_manager_v1_interface.name) {
    screencopyVersion_ = std::min(version, 3U);
    screencopy_.reset(static_cast<zwlr_screencopy_manager_v1*>(
        wl_registry_bind(registry, name, &zwlr_screencopy_manager_v1_interface, screencopyVersion_)));
  }
}

}  // namespace quorin::wayland
