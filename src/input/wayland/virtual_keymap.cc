#include "input/wayland/virtual_keymap.h"

#include <xkbcommon/xkbcommon-keysyms.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>

#include "input/special_key_keysym.h"

namespace quorin::wayland {
namespace {

// evdev codes; xkb numbers each key 8 higher.
constexpr std::uint32_t kXkbOffset = 8;
constexpr std::uint32_t kLastKey = 255 - kXkbOffset;  // X clients of the compositor see up to 255

struct KeyDefinition {
  std::uint32_t key;
  xkb_keysym_t keysym;
};

// The evdev code of each special key, by SpecialKey case; the keysyms are the shared ones.
constexpr std::array<std::uint32_t, kAllSpecialKeys.size()> kSpecialKeyCodes = {
    1, 15, 14, 111, 28, 105, 106, 103, 108, 102, 107, 104, 109,
    59, 60, 61, 62, 63, 64, 65, 66, 67, 68, 87, 88, 57};

// By Modifier, with the real modifier each one sets.
constexpr std::array<KeyDefinition, VirtualKeymap::kModifierCount> kModifierKeys = {{
    {42, XKB_KEY_Shift_L}, {29, XKB_KEY_Control_L}, {56, XKB_KEY_Alt_L}}};
constexpr std::array<const char*, VirtualKeymap::kModifierCount> kModifierMaps = {"Shift", "Control", "Mod1"};
// xkb numbers the real modifiers Shift, Lock, Control, Mod1 ... from bit 0.
constexpr std::array<std::uint32_t, VirtualKeymap::kModifierCount> kModifierMasks = {1u << 0, 1u << 2, 1u << 3};

std::string keyName(std::uint32_t key) { return "<K" + std::to_string(key + kXkbOffset) + ">"; }

std::string keysymName(xkb_keysym_t keysym) {
  char name[64];
  return xkb_keysym_get_name(keysym, name, sizeof name) > 0 ? name : "NoSymbol";
}

void addKey(std::string& symbols, std::uint32_t key, xkb_keysym_t keysym) {
  symbols += "    key " + keyName(key) + " { [ " + keysymName(keysym) + " ] };\n";
}

}  // namespace

VirtualKeymap::VirtualKeymap() {
  for (std::uint32_t key = 1; key <= kLastKey; ++key) {
    const auto uses = [key](const KeyDefinition& d) { return d.key == key; };
    if (std::find(kSpecialKeyCodes.begin(), kSpecialKeyCodes.end(), key) == kSpecialKeyCodes.end() &&
        std::none_of(kModifierKeys.begin(), kModifierKeys.end(), uses)) {
      characterKeys_.push_back(key);
    }
  }
  placed_.assign(characterKeys_.size(), XKB_KEY_NoSymbol);
  lastPlaced_.assign(characterKeys_.size(), 0);
  // Printable ASCII from the start, so most text never changes the layout under the clients.
  std::vector<std::uint32_t> ascii;
  for (xkb_keysym_t keysym = XKB_KEY_space; keysym <= XKB_KEY_asciitilde; ++keysym) ascii.push_back(keysym);
  place(ascii);
}

std::uint32_t VirtualKeymap::keyFor(SpecialKey key) { return kSpecialKeyCodes[static_cast<std::size_t>(key)]; }

std::uint32_t VirtualKeymap::keyFor(Modifier modifier) { return kModifierKeys[modifier].key; }

std::uint32_t VirtualKeymap::maskOf(Modifier modifier) { return kModifierMasks[modifier]; }

bool VirtualKeymap::place(std::span<const std::uint32_t> keysyms) {
  ++clock_;
  for (const std::uint32_t keysym : keysyms) {
    const auto found = std::find(placed_.begin(), placed_.end(), keysym);
    if (found != placed_.end()) lastPlaced_[static_cast<std::size_t>(found - placed_.begin())] = clock_;
  }
  bool changed = false;
  for (const std::uint32_t keysym : keysyms) {
    if (keysym == XKB_KEY_NoSymbol || keyFor(keysym)) continue;
    // The key asked for longest ago; free keys were never asked for.
    const auto oldest = std::min_element(lastPlaced_.begin(), lastPlaced_.end());
    if (*oldest == clock_) continue;  // more keysyms than keys: the caller's mistake
    const auto i = static_cast<std::size_t>(oldest - lastPlaced_.begin());
    placed_[i] = keysym;
    lastPlaced_[i] = clock_;
    changed = true;
  }
  return changed;
}

std::optional<std::uint32_t> VirtualKeymap::keyFor(std::uint32_t keysym) const {
  const auto found = std::find(placed_.begin(), placed_.end(), keysym);
  if (keysym == XKB_KEY_NoSymbol || found == placed_.end()) return std::nullopt;
  return characterKeys_[static_cast<std::size_t>(found - placed_.begin())];
}

std::string VirtualKeymap::text() const {
  std::string keycodes;
  for (std::uint32_t key = 1; key <= kLastKey; ++key) {
    keycodes += "    " + keyName(key) + " = " + std::to_string(key + kXkbOffset) + ";\n";
  }
  std::string symbols;
  for (const SpecialKey key : kAllSpecialKeys) {
    addKey(symbols, kSpecialKeyCodes[static_cast<std::size_t>(key)], specialKeyKeysym(key));
  }
  for (std::size_t m = 0; m < kModifierKeys.size(); ++m) {
    addKey(symbols, kModifierKeys[m].key, kModifierKeys[m].keysym);
    symbols += std::string("    modifier_map ") + kModifierMaps[m] + " { " + keyName(kModifierKeys[m].key) + " };\n";
  }
  for (std::size_t i = 0; i < placed_.size(); ++i) {
    if (placed_[i] != XKB_KEY_NoSymbol) addKey(symbols, characterKeys_[i], placed_[i]);
  }
  return "xkb_keymap {\n"
         "  xkb_keycodes \"quorin\" {\n"
         "    minimum = 8;\n"
         "    maximum = 255;\n" +
         keycodes +
         "  };\n"
         "  xkb_types \"quorin\" {\n"
         "    virtual_modifiers Alt;\n"
         "    type \"ONE_LEVEL\" { modifiers = none; level_name[Level1] = \"Any\"; };\n"
         "  };\n"
         "  xkb_compatibility \"quorin\" {\n"
         "    virtual_modifiers Alt;\n"
         "    interpret Shift_L { action = SetMods(modifiers = Shift); };\n"
         "    interpret Control_L { action = SetMods(modifiers = Control); };\n"
         "    interpret Alt_L { virtualModifier = Alt; action = SetMods(modifiers = modMapMods); };\n"
         "  };\n"
         "  xkb_symbols \"quorin\" {\n" +
         symbols +
         "  };\n"
         "};\n";
}

}  // namespace quorin::wayland
