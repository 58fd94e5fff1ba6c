#include "input/wayland/virtual_keymap.h"

#include <gtest/gtest.h>
#include <xkbcommon/xkbcommon.h>

#include <memory>
#include <vector>

namespace quorin::wayland {
namespace {

struct Compiled {
  std::unique_ptr<xkb_context, decltype(&xkb_context_unref)> context{xkb_context_new(XKB_CONTEXT_NO_FLAGS),
                                                                     xkb_context_unref};
  std::unique_ptr<xkb_keymap, decltype(&xkb_keymap_unref)> keymap{nullptr, xkb_keymap_unref};
  std::unique_ptr<xkb_state, decltype(&xkb_state_unref)> state{nullptr, xkb_state_unref};

  explicit Compiled(const VirtualKeymap& layout) {
    keymap.reset(xkb_keymap_new_from_string(context.get(), layout.text().c_str(), XKB_KEYMAP_FORMAT_TEXT_V1,
                                            XKB_KEYMAP_COMPILE_NO_FLAGS));
    if (keymap) state.reset(xkb_state_new(keymap.get()));
  }
  // The keysym `key` types while `modifiers` (evdev codes) are down.
  xkb_keysym_t typed(std::uint32_t key, const std::vector<std::uint32_t>& modifiers = {}) {
    for (const std::uint32_t m : modifiers) xkb_state_update_key(state.get(), m + 8, XKB_KEY_DOWN);
    const xkb_keysym_t keysym = xkb_state_key_get_one_sym(state.get(), key + 8);
    for (const std::uint32_t m : modifiers) xkb_state_update_key(state.get(), m + 8, XKB_KEY_UP);
    return keysym;
  }
};

TEST(VirtualKeymap, CompilesAndTypesEachPlacedKeysymWhateverTheModifiers) {
  VirtualKeymap layout;
  const std::vector<std::uint32_t> text = {'a', 'A', XKB_KEY_EuroSign, 0x0101f600, 0x01004e2d};
  EXPECT_TRUE(layout.place(text));
  EXPECT_FALSE(layout.place(text));  // nothing new: no upload needed
  Compiled compiled(layout);
  ASSERT_TRUE(compiled.keymap);
  const std::vector<std::uint32_t> all = {VirtualKeymap::keyFor(VirtualKeymap::kShift),
                                          VirtualKeymap::keyFor(VirtualKeymap::kControl),
                                          VirtualKeymap::keyFor(VirtualKeymap::kAlt)};
  for (const std::uint32_t keysym : text) {
    ASSERT_TRUE(layout.keyFor(keysym));
    EXPECT_EQ(compiled.typed(*layout.keyFor(keysym)), keysym);
    EXPECT_EQ(compiled.typed(*layout.keyFor(keysym), all), keysym);
  }
  EXPECT_EQ(compiled.typed(VirtualKeymap::keyFor(SpecialKey::f12)), XKB_KEY_F12);
  EXPECT_EQ(compiled.typed(VirtualKeymap::keyFor(SpecialKey::returnKey), all), XKB_KEY_Return);
  // The modifier keys set the modifiers applications look for, and nothing locks.
  for (const auto& [key, name] : {std::pair{VirtualKeymap::kShift, XKB_MOD_NAME_SHIFT},
                                  {VirtualKeymap::kControl, XKB_MOD_NAME_CTRL},
                                  {VirtualKeymap::kAlt, XKB_MOD_NAME_ALT}}) {
    const std::uint32_t code = VirtualKeymap::keyFor(key) + 8;
    xkb_state_update_key(compiled.state.get(), code, XKB_KEY_DOWN);
    EXPECT_EQ(xkb_state_mod_name_is_active(compiled.state.get(), name, XKB_STATE_MODS_DEPRESSED), 1) << name;
    EXPECT_EQ(xkb_state_serialize_mods(compiled.state.get(), XKB_STATE_MODS_DEPRESSED), VirtualKeymap::maskOf(key));
    xkb_state_update_key(compiled.state.get(), code, XKB_KEY_UP);
    EXPECT_EQ(xkb_state_serialize_mods(compiled.state.get(), XKB_STATE_MODS_EFFECTIVE), 0u) << name;
  }
}

TEST(VirtualKeymap, FullLayoutGivesUpTheKeysAskedForLongestAgo) {
  VirtualKeymap layout;
  std::vector<std::uint32_t> first;
  for (std::uint32_t i = 0; i < layout.capacity(); ++i) first.push_back(0x01004e00 + i);
  layout.place(first);
  layout.place(std::vector<std::uint32_t>{first[0]});  // asked for again: now the newest
  const std::vector<std::uint32_t> more = {0x0101f600, 0x0101f601};
  EXPECT_TRUE(layout.place(more));
  EXPECT_TRUE(layout.keyFor(first[0]));
  EXPECT_FALSE(layout.keyFor(first[1]));
  EXPECT_FALSE(layout.keyFor(first[2]));
  EXPECT_TRUE(layout.keyFor(first[3]));
  ASSERT_TRUE(layout.keyFor(more[0]) && layout.keyFor(more[1]));
  EXPECT_NE(*layout.keyFor(more[0]), *layout.keyFor(more[1]));
  Compiled compiled(layout);
  ASSERT_TRUE(compiled.keymap);
  EXPECT_EQ(compiled.typed(*layout.keyFor(more[1])), more[1]);
}

}  // namespace
}  // namespace quorin::wayland
