#include "desktop/kde/kwin_connection.h"

#include <algorithm>

namespace quorin::kde {

bool KwinConnection::isKwin() const {
  return std::ranges::any_of(interfaces(), [](std::string_view interface) {
    return interface.starts_with("org_kde_kwin_") || interface.starts_with("org_kde_plasma_");
  });
}

void KwinConnection::bindGlobal(wl_registry* registry, std::uint32_t name, std::string_view interface,
                                std::uint32_t version) {
  if (interface == zkde_screencast_unstable_v1_interface.name) {
    // Version 1 has what the host asks for: a cast of an output or of a window.
    screencast_.reset(static_cast<zkde_screencast_unstable_v1*>(
        wl_registry_bind(registry, name, &zkde_screencast_unstable_v1_interface, 1)));
  } else if (interface == org_kde_kwin_fake_input_interface.name) {
    // Absolute motion came with version 3, keys with 4.
    fakeInputVersion_ = std::min(version, 4U);
    fakeInput_.reset(static_cast<org_kde_kwin_fake_input*>(
        wl_registry_bind(registry, name, &org_kde_kwin_fake_input_interface, fakeInputVersion_)));
  }
}

}  // namespace quorin::kde
