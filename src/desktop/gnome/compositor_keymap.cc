#include "desktop/gnome/compositor_keymap.h"

#include <sys/mman.h>
#include <unistd.h>
#include <xkbcommon/xkbcommon.h>

#include <cstring>

#include "base/wayland_client.h"

namespace quorin {

struct CompositorKeymap::Wayland {
  DisplayPtr display;
  RegistryPtr registry;
  Proxy<wl_seat, wl_seat_destroy> seat;
  Proxy<wl_keyboard, wl_keyboard_destroy> keyboard;
  bool hasKeyboard = false;
  std::string keymap;  // the text of the newest keymap

  static void onGlobal(void* data, wl_registry* registry, std::uint32_t name, const char* interface,
                       std::uint32_t version) {
    auto* self = static_cast<Wayland*>(data);
    if (std::strcmp(interface, wl_seat_interface.name) != 0 || self->seat) return;
    self->seat.reset(
        static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, std::min(version, 5u))));
    static const wl_seat_listener listener = {[](void* data, wl_seat*, std::uint32_t capabilities) {
                                                static_cast<Wayland*>(data)->hasKeyboard =
                                                    capabilities & WL_SEAT_CAPABILITY_KEYBOARD;
                                              },
                                              [](void*, wl_seat*, const char*) {}};
    wl_seat_add_listener(self->seat.get(), &listener, self);
  }

  static void onKeymap(void* data, wl_keyboard*, std::uint32_t format, int fd, std::uint32_t size) {
    auto* self = static_cast<Wayland*>(data);
    if (format == WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1 && size > 0) {
      void* text = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
      if (text != MAP_FAILED) {
        self->keymap.assign(static_cast<const char*>(text), strnlen(static_cast<const char*>(text), size));
        munmap(text, size);
      }
    }
    close(fd);
  }
};

CompositorKeymap::CompositorKeymap(std::string display, std::chrono::milliseconds limit)
    : display_(std::move(display)), limit_(limit) {}

CompositorKeymap::~CompositorKeymap() = default;

std::optional<bool> CompositorKeymap::types(std::uint32_t keysym) {
  if (!known_ && !ask()) return std::nullopt;
  return keysyms_.contains(keysym);
}

bool CompositorKeymap::ask() {
  if (!wayland_) {
    wayland_ = std::make_unique<Wayland>();
    wayland_->display.reset(wl_display_connect(display_.empty() ? nullptr : display_.c_str()));
    if (!wayland_->display) return false;
    static const wl_registry_listener listener = {&Wayland::onGlobal, [](void*, wl_registry*, std::uint32_t) {}};
    wayland_->registry.reset(wl_display_get_registry(wayland_->display.get()));
    wl_registry_add_listener(wayland_->registry.get(), &listener, wayland_.get());
  }
  Wayland& w = *wayland_;
  if (!w.display || !roundtripWithin(w.display.get(), limit_)) return false;
  if (w.hasKeyboard && !w.keyboard && w.seat) {
    static const wl_keyboard_listener listener = {
        &Wayland::onKeymap,
        [](void*, wl_keyboard*, std::uint32_t, wl_surface*, wl_array*) {},
        [](void*, wl_keyboard*, std::uint32_t, wl_surface*) {},
        [](void*, wl_keyboard*, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) {},
        [](void*, wl_keyboard*, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) {},
        [](void*, wl_keyboard*, std::int32_t, std::int32_t) {}};
    w.keyboard.reset(wl_seat_get_keyboard(w.seat.get()));
    wl_keyboard_add_listener(w.keyboard.get(), &listener, &w);
    roundtripWithin(w.display.get(), limit_);
  }
  if (w.keymap.empty()) return false;

  xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_DEFAULT_INCLUDES);
  xkb_keymap* keymap = context ? xkb_keymap_new_from_string(context, w.keymap.c_str(), XKB_KEYMAP_FORMAT_TEXT_V1,
                                                            XKB_KEYMAP_COMPILE_NO_FLAGS)
                               : nullptr;
  if (keymap) {
    for (xkb_keycode_t key = xkb_keymap_min_keycode(keymap); key <= xkb_keymap_max_keycode(keymap); ++key) {
      // The first layout, which is current until the user switches.
      for (xkb_level_index_t level = 0; level < xkb_keymap_num_levels_for_key(keymap, key, 0); ++level) {
        const xkb_keysym_t* syms = nullptr;
        const int count = xkb_keymap_key_get_syms_by_level(keymap, key, 0, level, &syms);
        keysyms_.insert(syms, syms + count);
      }
    }
    known_ = true;
    xkb_keymap_unref(keymap);
  }
  if (context) xkb_context_unref(context);
  wayland_.reset();  // the keymap is all it was for
  return known_;
}

}  // namespace quorin
