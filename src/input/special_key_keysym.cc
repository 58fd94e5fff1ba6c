#include "input/special_key_keysym.h"

#include <xkbcommon/xkbcommon-keysyms.h>

#include <array>
#include <cstddef>

namespace quorin {

std::uint32_t specialKeyKeysym(SpecialKey key) {
  // In SpecialKey's declaration order.
  static constexpr std::array<std::uint32_t, kAllSpecialKeys.size()> kKeysyms = {
      XKB_KEY_Escape, XKB_KEY_Tab,  XKB_KEY_BackSpace, XKB_KEY_Delete, XKB_KEY_Return,
      XKB_KEY_Left,   XKB_KEY_Right, XKB_KEY_Up,       XKB_KEY_Down,   XKB_KEY_Home,
      XKB_KEY_End,    XKB_KEY_Prior, XKB_KEY_Next,     XKB_KEY_F1,     XKB_KEY_F2,
      XKB_KEY_F3,     XKB_KEY_F4,    XKB_KEY_F5,       XKB_KEY_F6,     XKB_KEY_F7,
      XKB_KEY_F8,     XKB_KEY_F9,    XKB_KEY_F10,      XKB_KEY_F11,    XKB_KEY_F12,
      XKB_KEY_space};
  return kKeysyms[static_cast<std::size_t>(key)];
}

}  // namespace quorin
