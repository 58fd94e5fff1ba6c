#pragma once
// The keyboard layout a virtual keyboard types with: the special keys and the modifiers on their
// usual evdev codes, and every other code free to carry one character's keysym on its only
// level. Since the layout holds no lock key and no second level, a character key types its
// keysym whatever the modifiers. Plain data; used on one thread.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "protocol/control_messages.h"

namespace quorin::wayland {

class VirtualKeymap {
 public:
  enum Modifier : std::size_t { kShift, kControl, kAlt, kModifierCount };

  VirtualKeymap();

  // The evdev code of a special key, of a modifier, of Return and of Tab.
  static std::uint32_t keyFor(SpecialKey key);
  static std::uint32_t keyFor(Modifier modifier);
  // The modifier's bit in a serialized modifier state of this layout.
  static std::uint32_t maskOf(Modifier modifier);

  // How many characters the layout holds at once.
  std::size_t capacity() const { return characterKeys_.size(); }

  // Puts each keysym of `keysyms` (no more than capacity() different ones) on a character key,
  // keeping those already there and taking keys from others. True when the layout changed.
  bool place(std::span<const std::uint32_t> keysyms);
  // The evdev code that types `keysym`, once placed.
  std::optional<std::uint32_t> keyFor(std::uint32_t keysym) const;

  // The layout in the xkb text format.
  std::string text() const;

 private:
  std::vector<std::uint32_t> characterKeys_;  // evdev codes free for characters
  std::vector<std::uint32_t> placed_;         // keysym on each character key, 0 when free
  std::vector<std::uint64_t> lastPlaced_;     // when each key was last asked for
  std::uint64_t clock_ = 0;
};

}  // namespace quorin::wayland
