#include "base/wayland/wayland_output.h"

#include <algorithm>

namespace quorin {
namespace {

WaylandOutput& out(void* data) { return *static_cast<WaylandOutput*>(data); }
ScreenRect& logicalOf(void* data) { return out(data).logical.emplace(out(data).logical.value_or(ScreenRect{})); }
void raiseChanged(void* data) {
  if (out(data).changed) *out(data).changed = true;
}

const wl_output_listener kOutputListener = {
    .geometry = [](void* data, wl_output*, std::int32_t x, std::int32_t y, std::int32_t, std::int32_t, std::int32_t,
                   const char*, const char*, std::int32_t) { out(data).device.x = x, out(data).device.y = y; },
    .mode = [](void* data, wl_output*, std::uint32_t flags, std::int32_t width, std::int32_t height, std::int32_t) {
      if (flags & WL_OUTPUT_MODE_CURRENT) out(data).device.width = width, out(data).device.height = height;
    },
    .done = [](void* data, wl_output*) { raiseChanged(data); },
    .scale = [](void* data, wl_output*, std::int32_t factor) { out(data).scale = factor; },
    .name = [](void* data, wl_output*, const char* name) { out(data).name = name; },
    .description = [](void*, wl_output*, const char*) {},
};

const zxdg_output_v1_listener kXdgOutputListener = {
    .logical_position = [](void* data, zxdg_output_v1*, std::int32_t x,
                           std::int32_t y) { logicalOf(data).x = x, logicalOf(data).y = y; },
    .logical_size = [](void* data, zxdg_output_v1*, std::int32_t width,
                       std::int32_t height) { logicalOf(data).width = width, logicalOf(data).height = height; },
    .done = [](void* data, zxdg_output_v1*) { raiseChanged(data); },
    .name = [](void* data, zxdg_output_v1*, const char* name) { out(data).name = name; },
    .description = [](void*, zxdg_output_v1*, const char*) {},
};

}  // namespace

void WaylandOutput::bind(wl_registry* registry, std::uint32_t name, std::uint32_t version) {
  global = name;
  output.reset(static_cast<wl_output*>(wl_registry_bind(registry, name, &wl_output_interface, std::min(version, 4u))));
  wl_output_add_listener(output.get(), &kOutputListener, this);
}

void WaylandOutput::watch(zxdg_output_manager_v1* manager) {
  if (!manager || xdgOutput) return;
  xdgOutput.reset(zxdg_output_manager_v1_get_xdg_output(manager, output.get()));
  zxdg_output_v1_add_listener(xdgOutput.get(), &kXdgOutputListener, this);
}

ScreenRect WaylandOutput::rect() const {
  if (logical) return *logical;
  return {device.x, device.y, device.width / std::max(1, scale), device.height / std::max(1, scale)};
}

}  // namespace quorin
