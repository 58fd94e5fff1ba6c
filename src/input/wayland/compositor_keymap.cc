#include "input/wayland/compositor_keymap.h"

#include <sys/mman.h>
#include <unistd.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <cstring>

#include "base/wayland_client.h"

namespace quorin {

struct CompositorKeymap::Wayland {
  DisplayPtr owned;
  wl_display* display = nullptr;
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

CompositorKeymap::CompositorKeymap(wl_display* display, std::chrono::milliseconds limit)
    : borrowed_(display), limit_(limit) {}

CompositorKeymap::~CompositorKeymap() = default;

std::optional<bool> CompositorKeymap::types(std::uint32_t keysym) {
  if (!known_ && !ask()) return std::nullopt;
  return strokes_.contains(keysym);
}

std::optional<CompositorKeymap::Stroke> CompositorKeymap::strokeFor(std::uint32_t keysym) {
  if (!known_ && !ask()) return std::nullopt;
  const auto stroke = strokes_.find(keysym);
  if (stroke == strokes_.end()) return std::nullopt;
  return stroke->second;
}

bool CompositorKeymap::ask() {
  if (!wayland_) {
    wayland_ = std::make_unique<Wayland>();
    if (!borrowed_) wayland_->owned.reset(wl_display_connect(display_.empty() ? nullptr : display_.c_str()));
    wayland_->display = borrowed_ ? borrowed_ : wayland_->owned.get();
    if (!wayland_->display) return false;
    static const wl_registry_listener listener = {&Wayland::onGlobal, [](void*, wl_registry*, std::uint32_t) {}};
    wayland_->registry.reset(wl_display_get_registry(wayland_->display));
    wl_registry_add_listener(wayland_->registry.get(), &listener, wayland_.get());
  }
  Wayland& w = *wayland_;
  // The globals, then the seat's capabilities (once it is bound).
  if (!w.display || !roundtripWithin(w.display, limit_)) return false;
  if (w.seat && !roundtripWithin(w.display, limit_)) return false;
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
    roundtripWithin(w.display, limit_);
  }
  if (w.keymap.empty()) return false;

  xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_DEFAULT_INCLUDES);
  xkb_keymap* keymap = context ? xkb_keymap_new_from_string(context, w.keymap.c_str(), XKB_KEYMAP_FORMAT_TEXT_V1,
                                                            XKB_KEYMAP_COMPILE_NO_FLAGS)
                               : nullptr;
  if (keymap) {
    read(keymap);
    known_ = true;
    xkb_keymap_unref(keymap);
  }
  if (context) xkb_context_unref(context);
  wayland_.reset();  // the keymap is all it was for
  return known_;
}

void CompositorKeymap::read(xkb_keymap* keymap) {
  // xkb codes are evdev codes plus 8.
  constexpr xkb_keycode_t kEvdevOffset = 8;
  const xkb_mod_mask_t shift = 1U << xkb_keymap_mod_get_index(keymap, XKB_MOD_NAME_SHIFT);
  // The third level's real modifier, which AltGr sets in every layout xkeyboard-config ships.
  const xkb_mod_index_t mod5 = xkb_keymap_mod_get_index(keymap, "Mod5");
  const xkb_mod_mask_t levelThree = mod5 == XKB_MOD_INVALID ? 0 : 1U << mod5;
  for (xkb_keycode_t key = xkb_keymap_min_keycode(keymap); key <= xkb_keymap_max_keycode(keymap); ++key) {
    const xkb_keysym_t* syms = nullptr;
    if (key >= kEvdevOffset && xkb_keymap_key_get_syms_by_level(keymap, key, 0, 0, &syms) == 1 &&
        syms[0] == XKB_KEY_ISO_Level3_Shift && !levelThreeKey_) {
      levelThreeKey_ = key - kEvdevOffset;
    }
  }
  for (xkb_keycode_t key = xkb_keymap_min_keycode(keymap); key <= xkb_keymap_max_keycode(keymap); ++key) {
    if (key < kEvdevOffset) continue;
    // The first layout, which is current until the user switches.
    for (xkb_level_index_t level = 0; level < xkb_keymap_num_levels_for_key(keymap, key, 0); ++level) {
      // A level reached with Shift, AltGr or both; not one that needs Num Lock or Control.
      xkb_mod_mask_t masks[8];
      const std::size_t maskCount = xkb_keymap_key_get_mods_for_level(keymap, key, 0, level, masks, 8);
      const auto mask = std::find_if(masks, masks + maskCount, [&](xkb_mod_mask_t m) {
        return (m & ~(shift | levelThree)) == 0 && (!(m & levelThree) || levelThreeKey_);
      });
      if (mask == masks + maskCount) continue;
      const bool withShift = *mask & shift;
      const bool withLevelThree = levelThree && (*mask & levelThree);
      const xkb_keysym_t* syms = nullptr;
      const int count = xkb_keymap_key_get_syms_by_level(keymap, key, 0, level, &syms);
      for (int i = 0; i < count; ++i) {
        const Stroke stroke{key - kEvdevOffset, withShift, withLevelThree};
        const auto known = strokes_.find(syms[i]);
        const auto weight = [](const Stroke& s) { return int(s.shift) + 2 * int(s.levelThree); };
        if (known == strokes_.end() || weight(stroke) < weight(known->second)) strokes_[syms[i]] = stroke;
      }
    }
  }
}

}  // namespace quorin
