#include "kde/kde_window_list.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "plasma-window-management-client-protocol.h"

namespace quorin {

using Clock = std::chrono::steady_clock;
// The version of the protocol's XML; 13 brings window_with_uuid.
constexpr std::uint32_t kManagementVersion = 16;
constexpr std::uint32_t kUuidVersion = 13;
constexpr auto kRoundtripLimit = std::chrono::seconds(5);

struct KdeWindowList::Entry {
  Window window{};
  org_kde_plasma_window* proxy = nullptr;
  bool told = false;   // KWin has sent its initial state
  bool shown = true;   // until it is unmapped

  ~Entry() {
    if (proxy) org_kde_plasma_window_destroy(proxy);
  }
};

struct KdeWindowList::Listeners {
  static Entry& entry(void* data) { return *static_cast<Entry*>(data); }

  static constexpr org_kde_plasma_window_listener kWindow = {
      .title_changed = [](void* data, org_kde_plasma_window*, const char* title) { entry(data).window.title = title; },
      .app_id_changed = [](void* data, org_kde_plasma_window*, const char* id) { entry(data).window.appId = id; },
      .state_changed = [](void*, org_kde_plasma_window*, std::uint32_t) {},
      .virtual_desktop_changed = [](void*, org_kde_plasma_window*, std::int32_t) {},
      .themed_icon_name_changed = [](void*, org_kde_plasma_window*, const char*) {},
      .unmapped = [](void* data, org_kde_plasma_window*) { entry(data).shown = false; },
      .initial_state = [](void* data, org_kde_plasma_window*) { entry(data).told = true; },
      .parent_window = [](void*, org_kde_plasma_window*, org_kde_plasma_window*) {},
      .geometry = [](void* data, org_kde_plasma_window*, std::int32_t x, std::int32_t y, std::uint32_t width,
                     std::uint32_t height) {
        entry(data).window.geometry = {x, y, static_cast<int>(width), static_cast<int>(height)};
      },
      .icon_changed = [](void*, org_kde_plasma_window*) {},
      .pid_changed = [](void*, org_kde_plasma_window*, std::uint32_t) {},
      .virtual_desktop_entered = [](void*, org_kde_plasma_window*, const char*) {},
      .virtual_desktop_left = [](void*, org_kde_plasma_window*, const char*) {},
      .application_menu = [](void*, org_kde_plasma_window*, const char*, const char*) {},
      .activity_entered = [](void*, org_kde_plasma_window*, const char*) {},
      .activity_left = [](void*, org_kde_plasma_window*, const char*) {},
      .resource_name_changed = [](void*, org_kde_plasma_window*, const char*) {},
  };

  static constexpr org_kde_plasma_window_management_listener kManagement = {
      .show_desktop_changed = [](void*, org_kde_plasma_window_management*, std::uint32_t) {},
      .window = [](void*, org_kde_plasma_window_management*, std::uint32_t) {},  // told again with its uuid
      .stacking_order_changed = [](void*, org_kde_plasma_window_management*, wl_array*) {},
      .stacking_order_uuid_changed = [](void*, org_kde_plasma_window_management*, const char*) {},
      .window_with_uuid =
          [](void* data, org_kde_plasma_window_management* management, std::uint32_t, const char* uuid) {
            auto& windows = static_cast<KdeWindowList*>(data)->windows_;
            auto entry = std::make_unique<Entry>();
            entry->window.uuid = uuid;
            entry->proxy = org_kde_plasma_window_management_get_window_by_uuid(management, uuid);
            org_kde_plasma_window_add_listener(entry->proxy, &kWindow, entry.get());
            windows.insert_or_assign(uuid, std::move(entry));
          },
  };

  static constexpr wl_registry_listener kRegistry = {
      .global =
          [](void* data, wl_registry* registry, std::uint32_t name, const char* interface, std::uint32_t version) {
            auto& self = *static_cast<KdeWindowList*>(data);
            if (self.management_ || std::strcmp(interface, org_kde_plasma_window_management_interface.name) != 0 ||
                version < kUuidVersion) {
              return;
            }
            self.management_ = static_cast<org_kde_plasma_window_management*>(wl_registry_bind(
                registry, name, &org_kde_plasma_window_management_interface, std::min(version, kManagementVersion)));
            org_kde_plasma_window_management_add_listener(self.management_, &kManagement, &self);
          },
      .global_remove = [](void*, wl_registry*, std::uint32_t) {},
  };
};

KdeWindowList::KdeWindowList(const char* display) : display_(wl_display_connect(display)) {
  if (!display_) {
    error_ = std::string("no Wayland compositor at ") + (display ? display : "$WAYLAND_DISPLAY");
    return;
  }
  registry_ = wl_display_get_registry(display_.get());
  wl_registry_add_listener(registry_, &Listeners::kRegistry, this);
  if (!roundtripWithin(display_.get(), kRoundtripLimit)) {
    error_ = "the compositor did not answer";
  } else if (!management_) {
    error_ = "the compositor offers this binary no org_kde_plasma_window_management (version 13 or later): is it "
             "KWin, and does a desktop file grant the interface to this binary (scripts/lib/kwin.sh)?";
  } else if (!roundtripWithin(display_.get(), kRoundtripLimit)) {
    error_ = "KWin did not list its windows";
  }
}

KdeWindowList::~KdeWindowList() {
  windows_.clear();
  if (management_) wl_proxy_destroy(reinterpret_cast<wl_proxy*>(management_));
  if (registry_) wl_registry_destroy(registry_);
}

std::optional<KdeWindowList::Window> KdeWindowList::find(std::string_view name, std::chrono::milliseconds timeout) {
  if (!error_.empty()) return std::nullopt;
  wl_display* display = display_.get();
  const auto deadline = Clock::now() + timeout;
  while (true) {
    std::erase_if(windows_, [](const auto& entry) { return !entry.second->shown; });
    for (const auto& [uuid, entry] : windows_) {
      const Window& w = entry->window;
      if (entry->told && (w.title == name || w.appId == name)) return w;
    }
    if (wl_display_dispatch_pending(display) < 0 || (wl_display_flush(display) < 0 && errno != EAGAIN)) break;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;
    pollfd readable{wl_display_get_fd(display), POLLIN, 0};
    if (poll(&readable, 1, static_cast<int>(left)) > 0 && wl_display_dispatch(display) < 0) break;
  }
  return std::nullopt;
}

}  // namespace quorin
