#include "input/wayland/remote_desktop_event_sink.h"

#include <linux/input-event-codes.h>
#include <xkbcommon/xkbcommon-keysyms.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <optional>
#include <vector>

#include "input/special_key_keysym.h"

namespace quorin {
namespace {

// The keysym that types `scalar`: the legacy one where it exists, else the Unicode keysym.
// Control characters other than line feed and tab type nothing.
std::uint32_t keysym(char32_t scalar) {
  if (scalar == U'\n') return XKB_KEY_Return;
  if (scalar == U'\t') return XKB_KEY_Tab;
  if (scalar < 0x20 || (scalar >= 0x7F && scalar < 0xA0)) return XKB_KEY_NoSymbol;
  return xkb_utf32_to_keysym(scalar);
}

// The modifier keys held around a key, in the order they go down. A client built for another
// platform means copy, paste and undo by command+C/V/Z, which is Control here.
std::vector<std::uint32_t> modifierKeysyms(const Modifiers& modifiers) {
  std::vector<std::uint32_t> keys;
  if (modifiers.command || modifiers.control) keys.push_back(XKB_KEY_Control_L);
  if (modifiers.option) keys.push_back(XKB_KEY_Alt_L);
  if (modifiers.shift) keys.push_back(XKB_KEY_Shift_L);
  return keys;
}

// Wheel buttons carry one click on their axis; positive steps go down or right.
struct WheelStep {
  ScrollAxis axis;
  int steps;
};
std::optional<WheelStep> wheelStep(MouseButton button) {
  switch (button) {
    case MouseButton::wheelUp: return WheelStep{ScrollAxis::vertical, -1};
    case MouseButton::wheelDown: return WheelStep{ScrollAxis::vertical, 1};
    case MouseButton::wheelLeft: return WheelStep{ScrollAxis::horizontal, -1};
    case MouseButton::wheelRight: return WheelStep{ScrollAxis::horizontal, 1};
    case MouseButton::left:
    case MouseButton::right:
      break;
  }
  return std::nullopt;
}

}  // namespace

RemoteDesktopEventSink::RemoteDesktopEventSink(std::unique_ptr<RemoteDesktopInput> input,
                                               ScreenRect stream)
    : input_(std::move(input)), stream_{0, 0, std::max(1, stream.width), std::max(1, stream.height)} {}

std::optional<ScreenRect> RemoteDesktopEventSink::screenFrame() { return stream_; }

void RemoteDesktopEventSink::setShownArea(const ScreenRect& monitor) {
  stream_ = {0, 0, std::max(1, monitor.width), std::max(1, monitor.height)};
}

void RemoteDesktopEventSink::movePointer(int x, int y) {
  // Positions outside the stream have no meaning to the session; keep to its edge.
  input_->pointerMotionAbsolute(std::clamp(x, 0, stream_.width - 1),
                                std::clamp(y, 0, stream_.height - 1));
}

void RemoteDesktopEventSink::setButton(MouseButton which, bool down) {
  if (const std::optional<WheelStep> wheel = wheelStep(which)) {
    if (down) input_->pointerAxisDiscrete(wheel->axis, wheel->steps);
    return;
  }
  input_->pointerButton(which == MouseButton::left ? BTN_LEFT : BTN_RIGHT, down);
}

void RemoteDesktopEventSink::pressKey(SpecialKey special, const Modifiers& modifiers) {
  typeKeysym(specialKeyKeysym(special), modifiers);
}

void RemoteDesktopEventSink::typeText(std::u32string_view text, const Modifiers& modifiers) {
  for (const char32_t scalar : text) {
    if (const std::uint32_t sym = keysym(scalar); sym != XKB_KEY_NoSymbol) typeKeysym(sym, modifiers);
  }
}

void RemoteDesktopEventSink::finish() {
  // A key is only held within one call; one still down here lost its release.
  const std::vector<std::uint32_t> keys(heldKeys_.rbegin(), heldKeys_.rend());
  for (const std::uint32_t sym : keys) input_->keyboardKeysym(sym, false);
  heldKeys_.clear();
}

void RemoteDesktopEventSink::typeKeysym(std::uint32_t sym, const Modifiers& modifiers) {
  const std::vector<std::uint32_t> mods = modifierKeysyms(modifiers);
  for (const std::uint32_t mod : mods) key(mod, true);
  key(sym, true);
  key(sym, false);
  for (auto mod = mods.rbegin(); mod != mods.rend(); ++mod) key(*mod, false);
}

void RemoteDesktopEventSink::key(std::uint32_t sym, bool down) {
  if (!input_->keyboardKeysym(sym, down)) return;
  if (down) {
    heldKeys_.push_back(sym);
  } else {
    std::erase(heldKeys_, sym);
  }
}

}  // namespace quorin
