#pragma once
// One output of a Wayland compositor as it describes itself: its name, its place and current
// mode in its own pixels, its scale, and, where the compositor offers xdg-output, its
// rectangle in the logical layout. Both the wlroots capture and the wlroots input sink keep
// their connection's outputs this way. Use on the thread that reads the connection's events.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "base/geometry.h"
#include "base/wayland_client.h"
#include "xdg-output-unstable-v1-client-protocol.h"

namespace quorin {

using XdgOutputManagerPtr = Proxy<zxdg_output_manager_v1, zxdg_output_manager_v1_destroy>;

struct WaylandOutput {
  // Deleters of their own: the protocol's destroy functions are static, and a type of this
  // header must not name them.
  struct Destroy {
    void operator()(wl_output* output) const { wl_output_destroy(output); }
    void operator()(zxdg_output_v1* output) const { zxdg_output_v1_destroy(output); }
  };

  std::uint32_t global = 0;  // the registry's name for it
  std::unique_ptr<wl_output, Destroy> output;
  std::unique_ptr<zxdg_output_v1, Destroy> xdgOutput;
  std::string name;
  ScreenRect device;  // the position, and the size of the current mode in the output's pixels
  int scale = 1;
  std::optional<ScreenRect> logical;  // from xdg-output
  bool* changed = nullptr;            // raised with each change, when set

  // Binds the output announced as `global` (wl_output version 4 at most) and listens to it.
  void bind(wl_registry* registry, std::uint32_t global, std::uint32_t version);
  // Listens to the output's xdg-output too, once the compositor's manager is known.
  void watch(zxdg_output_manager_v1* manager);

  // Where it sits in the layout, in logical pixels.
  ScreenRect rect() const;
};

}  // namespace quorin
