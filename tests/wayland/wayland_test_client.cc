#include "wayland/wayland_test_client.h"

#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "base/wayland/wayland_output.h"
#include "xdg-shell-client-protocol.h"

namespace quorin {

using Type = ReceivedEvent::Type;
using Clock = std::chrono::steady_clock;

struct WaylandTestClient::State {
  WaylandTestClient& owner;
  wl_display* display = nullptr;
  wl_registry* registry = nullptr;
  wl_compositor* compositor = nullptr;
  wl_shm* shm = nullptr;
  xdg_wm_base* wmBase = nullptr;
  wl_seat* seat = nullptr;
  wl_pointer* pointer = nullptr;
  wl_keyboard* keyboard = nullptr;
  wl_surface* surface = nullptr;
  xdg_surface* xdgSurface = nullptr;
  xdg_toplevel* toplevel = nullptr;
  wl_buffer* buffer = nullptr;
  // Named by wl_output 4 or xdg-output 2 (mutter 43 offers only the latter).
  std::vector<std::unique_ptr<WaylandOutput>> outputs{};
  zxdg_output_manager_v1* xdgOutputs = nullptr;
  wl_surface* pointerSurface = nullptr;  // the pointer's square, when the look has one
  wl_buffer* pointerBuffer = nullptr;
  int bufferWidth = 0, bufferHeight = 0;
  int configuredWidth = 0, configuredHeight = 0;
  xkb_context* xkb = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
  xkb_state* keyState = nullptr;  // holds the current keymap
  double x = 0, y = 0;

  ~State() {
    if (keyState) xkb_state_unref(keyState);
    xkb_context_unref(xkb);
    // The compositor forgets a client's objects when it leaves; only the proxies remain here.
    outputs.clear();
    for (void* proxy : std::initializer_list<void*>{buffer, toplevel, xdgSurface, surface, pointerBuffer,
                                                    pointerSurface, pointer, keyboard, seat, wmBase, shm,
                                                    xdgOutputs, compositor, registry}) {
      if (proxy) wl_proxy_destroy(static_cast<wl_proxy*>(proxy));
    }
    if (display) wl_display_disconnect(display);
  }

  // The real modifiers come first in every keymap: Shift, Lock, Control, Mod1 (Alt) ...
  unsigned modifiers() const {
    return keyState ? xkb_state_serialize_mods(keyState, XKB_STATE_MODS_EFFECTIVE) & kHeldMask : 0;
  }

  void record(ReceivedEvent event) {
    event.x = x, event.y = y;
    owner.record(std::move(event));
  }
  void moved(wl_fixed_t toX, wl_fixed_t toY) {
    x = wl_fixed_to_double(toX), y = wl_fixed_to_double(toY);
    record({.type = Type::motion});
  }

  // A buffer of one colour, or nothing.
  wl_buffer* filledBuffer(int width, int height, std::uint32_t colour) {
    const std::size_t bytes = static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4;
    const int fd = memfd_create("quorin-test-client", MFD_CLOEXEC);
    void* pixels = fd >= 0 && ftruncate(fd, static_cast<off_t>(bytes)) == 0
                       ? mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0) : MAP_FAILED;
    if (pixels == MAP_FAILED) {
      if (fd >= 0) close(fd);
      return nullptr;
    }
    std::fill_n(static_cast<std::uint32_t*>(pixels), bytes / 4, colour);
    munmap(pixels, bytes);
    wl_shm_pool* pool = wl_shm_create_pool(shm, fd, static_cast<std::int32_t>(bytes));
    wl_buffer* made = wl_shm_pool_create_buffer(pool, 0, width, height, width * 4, WL_SHM_FORMAT_XRGB8888);
    wl_shm_pool_destroy(pool);
    close(fd);
    return made;
  }

  // Shows a buffer of the look's colour at the configured size, and asks to hear when it is
  // shown.
  void paint() {
    const int width = configuredWidth > 0 ? configuredWidth : 640;
    const int height = configuredHeight > 0 ? configuredHeight : 480;
    if (buffer) wl_buffer_destroy(std::exchange(buffer, nullptr));
    buffer = filledBuffer(width, height, owner.look_.colour);
    if (!buffer) return;
    bufferWidth = width, bufferHeight = height;
    wl_surface_attach(surface, buffer, 0, 0);
    wl_surface_damage_buffer(surface, 0, 0, width, height);
    static const wl_callback_listener shown = {[](void* data, wl_callback* callback, std::uint32_t) {
      wl_callback_destroy(callback);
      // Written and read on the client's thread until it has started.
      auto* self = static_cast<State*>(data);
      ++self->owner.painted_;
      self->owner.width_ = self->bufferWidth, self->owner.height_ = self->bufferHeight;
    }};
    wl_callback_add_listener(wl_surface_frame(surface), &shown, this);
    wl_surface_commit(surface);
  }

  // Reads and handles what arrives within `timeoutMs`; false once the connection is lost.
  bool pump(int timeoutMs) {
    if (wl_display_dispatch_pending(display) < 0 || (wl_display_flush(display) < 0 && errno != EAGAIN)) return false;
    pollfd socket{wl_display_get_fd(display), POLLIN, 0};
    return poll(&socket, 1, timeoutMs) <= 0 || wl_display_dispatch(display) >= 0;
  }
};

namespace {
using S = WaylandTestClient::State;
S& self(void* data) { return *static_cast<S*>(data); }

const wl_pointer_listener pointerListener = {
    .enter = [](void* data, wl_pointer* pointer, std::uint32_t serial, wl_surface*, wl_fixed_t x, wl_fixed_t y) {
      // Without a pointer image of its own the window would leave the pointer to the compositor.
      if (S& s = self(data); s.pointerSurface) wl_pointer_set_cursor(pointer, serial, s.pointerSurface, 0, 0);
      self(data).moved(x, y);
    },
    .leave = [](void*, wl_pointer*, std::uint32_t, wl_surface*) {},
    .motion = [](void* data, wl_pointer*, std::uint32_t, wl_fixed_t x, wl_fixed_t y) { self(data).moved(x, y); },
    .button = [](void* data, wl_pointer*, std::uint32_t, std::uint32_t, std::uint32_t button, std::uint32_t state) {
      self(data).record({.type = Type::button, .code = button, .pressed = state == WL_POINTER_BUTTON_STATE_PRESSED});
    },
    .axis = [](void* data, wl_pointer*, std::uint32_t, std::uint32_t axis, wl_fixed_t value) {
      self(data).record({.type = Type::axis, .code = axis, .value = wl_fixed_to_double(value)});
    },
    .frame = [](void*, wl_pointer*) {},
    .axis_source = [](void*, wl_pointer*, std::uint32_t) {},
    .axis_stop = [](void*, wl_pointer*, std::uint32_t, std::uint32_t) {},
    .axis_discrete = [](void* data, wl_pointer*, std::uint32_t axis, std::int32_t steps) {
      self(data).record({.type = Type::axisDiscrete, .code = axis, .discrete = steps});
    },
    .axis_value120 = nullptr,
};

const wl_keyboard_listener keyboardListener = {
    .keymap = [](void* data, wl_keyboard*, std::uint32_t format, std::int32_t fd, std::uint32_t size) {
      S& s = self(data);
      void* text = format == WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1
                       ? mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0) : MAP_FAILED;
      close(fd);
      if (text == MAP_FAILED) return;
      xkb_keymap* keymap = xkb_keymap_new_from_buffer(s.xkb, static_cast<const char*>(text),
                                                      strnlen(static_cast<const char*>(text), size),
                                                      XKB_KEYMAP_FORMAT_TEXT_V1, XKB_KEYMAP_COMPILE_NO_FLAGS);
      munmap(text, size);
      if (!keymap) return;
      if (s.keyState) xkb_state_unref(s.keyState);
      s.keyState = xkb_state_new(keymap);
      xkb_keymap_unref(keymap);
    },
    .enter = [](void* data, wl_keyboard*, std::uint32_t, wl_surface*, wl_array*) {
      self(data).record({.type = Type::focus, .pressed = true});
    },
    .leave = [](void* data, wl_keyboard*, std::uint32_t, wl_surface*) {
      self(data).record({.type = Type::focus, .pressed = false});
    },
    .key = [](void* data, wl_keyboard*, std::uint32_t, std::uint32_t, std::uint32_t key, std::uint32_t state) {
      S& s = self(data);
      ReceivedEvent e{.type = Type::key, .code = key, .pressed = state == WL_KEYBOARD_KEY_STATE_PRESSED,
                      .modifiers = s.modifiers()};
      char utf8[64] = "";
      if (s.keyState) e.keysym = xkb_state_key_get_one_sym(s.keyState, key + 8);  // X11 keycodes are evdev's + 8
      if (s.keyState && e.pressed) xkb_state_key_get_utf8(s.keyState, key + 8, utf8, sizeof utf8);
      e.text = utf8;
      s.record(std::move(e));
    },
    .modifiers = [](void* data, wl_keyboard*, std::uint32_t, std::uint32_t depressed, std::uint32_t latched,
                    std::uint32_t locked, std::uint32_t group) {
      if (xkb_state* state = self(data).keyState) xkb_state_update_mask(state, depressed, latched, locked, 0, 0, group);
    },
    .repeat_info = [](void*, wl_keyboard*, std::int32_t, std::int32_t) {},
};

const wl_seat_listener seatListener = {
    [](void* data, wl_seat* seat, std::uint32_t capabilities) {
      // Devices come and go with the compositor's (virtual) ones.
      S& s = self(data);
      const bool pointer = capabilities & WL_SEAT_CAPABILITY_POINTER;
      const bool keyboard = capabilities & WL_SEAT_CAPABILITY_KEYBOARD;
      if (pointer && !s.pointer) {
        wl_pointer_add_listener(s.pointer = wl_seat_get_pointer(seat), &pointerListener, &s);
      } else if (!pointer && s.pointer) {
        wl_pointer_release(std::exchange(s.pointer, nullptr));
      }
      if (keyboard && !s.keyboard) {
        wl_keyboard_add_listener(s.keyboard = wl_seat_get_keyboard(seat), &keyboardListener, &s);
      } else if (!keyboard && s.keyboard) {
        wl_keyboard_release(std::exchange(s.keyboard, nullptr));
        s.record({.type = Type::focus, .pressed = false});
      }
    },
    [](void*, wl_seat*, const char*) {}};

const xdg_wm_base_listener wmBaseListener = {
    [](void*, xdg_wm_base* base, std::uint32_t serial) { xdg_wm_base_pong(base, serial); }};

const wl_registry_listener registryListener = {
    [](void* data, wl_registry* registry, std::uint32_t name, const char* interface, std::uint32_t version) {
      S& s = self(data);
      // Binds the first global of `wanted`'s kind, at most at version `most`.
      const auto offer = [&]<typename T>(T*& into, const wl_interface& wanted, std::uint32_t most) {
        if (into || std::strcmp(interface, wanted.name) != 0) return false;
        into = static_cast<T*>(wl_registry_bind(registry, name, &wanted, std::min(version, most)));
        return true;
      };
      offer(s.compositor, wl_compositor_interface, 4);
      offer(s.shm, wl_shm_interface, 1);
      if (offer(s.wmBase, xdg_wm_base_interface, 1)) xdg_wm_base_add_listener(s.wmBase, &wmBaseListener, &s);
      if (offer(s.seat, wl_seat_interface, 5)) wl_seat_add_listener(s.seat, &seatListener, &s);
      offer(s.xdgOutputs, zxdg_output_manager_v1_interface, 3);
      if (std::strcmp(interface, wl_output_interface.name) == 0) {
        s.outputs.push_back(std::make_unique<WaylandOutput>());
        s.outputs.back()->bind(registry, name, version);
      }
    },
    [](void*, wl_registry*, std::uint32_t) {}};

const xdg_surface_listener xdgSurfaceListener = {
    [](void* data, xdg_surface* surface, std::uint32_t serial) {
      xdg_surface_ack_configure(surface, serial);
      self(data).paint();
    }};

const xdg_toplevel_listener toplevelListener = {
    [](void* data, xdg_toplevel*, std::int32_t width, std::int32_t height, wl_array*) {
      self(data).configuredWidth = width, self(data).configuredHeight = height;
    },
    [](void*, xdg_toplevel*) {},
    nullptr,  // bound at version 1: no bounds or capabilities
    nullptr};

}  // namespace

WaylandTestClient::WaylandTestClient(const char* display) : WaylandTestClient(display, Look{}) {}

WaylandTestClient::WaylandTestClient(const char* display, Look look)
    : look_(std::move(look)),
      thread_([this, display](const std::stop_token& stop) { run(display, stop); }) {
  waitUntilStarted();
}

void WaylandTestClient::run(const char* display, const std::stop_token& stop) {
  State s{*this};
  const auto fail = [&](std::string why) {
    error_ = std::move(why);
    started(false);
  };
  s.display = wl_display_connect(display);
  if (!s.display) return fail("no Wayland compositor reachable (WAYLAND_DISPLAY unset?)");
  s.registry = wl_display_get_registry(s.display);
  wl_registry_add_listener(s.registry, &registryListener, &s);
  wl_display_roundtrip(s.display);
  for (const auto& o : s.outputs) o->watch(s.xdgOutputs);
  wl_display_roundtrip(s.display);  // the seat's capabilities and the outputs' names
  if (!s.compositor || !s.shm || !s.wmBase) return fail("the compositor lacks wl_shm or xdg-shell");
  wl_output* output = nullptr;
  for (const auto& o : s.outputs) {
    if (!look_.output.empty() && o->name == look_.output) output = o->output.get();
  }
  if (!look_.output.empty() && !output) return fail("the compositor names no output " + look_.output);
  if (look_.pointer) {
    s.pointerBuffer = s.filledBuffer(kPointerSize, kPointerSize, *look_.pointer);
    s.pointerSurface = wl_compositor_create_surface(s.compositor);
    wl_surface_attach(s.pointerSurface, s.pointerBuffer, 0, 0);
    wl_surface_damage_buffer(s.pointerSurface, 0, 0, kPointerSize, kPointerSize);
    wl_surface_commit(s.pointerSurface);
  }

  s.surface = wl_compositor_create_surface(s.compositor);
  xdg_surface_add_listener(s.xdgSurface = xdg_wm_base_get_xdg_surface(s.wmBase, s.surface), &xdgSurfaceListener,
                           &s);
  xdg_toplevel_add_listener(s.toplevel = xdg_surface_get_toplevel(s.xdgSurface), &toplevelListener, &s);
  if (!look_.title.empty()) xdg_toplevel_set_title(s.toplevel, look_.title.c_str());
  if (!look_.appId.empty()) xdg_toplevel_set_app_id(s.toplevel, look_.appId.c_str());
  xdg_toplevel_set_fullscreen(s.toplevel, output);
  wl_surface_commit(s.surface);

  // A compositor may make the window full screen only once it is shown at some size: wait
  // until it is shown at the size configured, or a while for a compositor that sets none.
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  std::optional<Clock::time_point> firstShown;
  bool alive = true;
  while (alive && Clock::now() < deadline) {
    if (painted_ > 0 && !firstShown) firstShown = Clock::now();
    const bool sized = width_ == s.configuredWidth && height_ == s.configuredHeight;
    if (firstShown && (sized || Clock::now() - *firstShown > std::chrono::seconds(1))) break;
    alive = s.pump(50);
  }
  if (!alive || painted_ == 0) return fail("the compositor did not show the test window");
  started(true);
  while (alive && !stop.stop_requested()) alive = s.pump(20);
}

}  // namespace quorin
