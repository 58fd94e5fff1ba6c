#pragma once
// The input half of a remote desktop session: the Notify* calls that both the desktop portal
// and a compositor's own remote desktop service offer. Positions are pixels inside the one
// stream the session shares. Each call reports whether the session took it. One thread at a
// time (the desktop session's input thread).

#include <cstdint>

namespace quorin {

enum class ScrollAxis : std::uint32_t { vertical = 0, horizontal = 1 };

class RemoteDesktopInput {
 public:
  virtual ~RemoteDesktopInput() = default;

  virtual bool pointerMotionAbsolute(double x, double y) = 0;
  // `button` is a Linux evdev code (BTN_LEFT, BTN_RIGHT ...).
  virtual bool pointerButton(int button, bool pressed) = 0;
  // Wheel clicks; positive steps scroll down or right.
  virtual bool pointerAxisDiscrete(ScrollAxis axis, int steps) = 0;
  virtual bool keyboardKeysym(std::uint32_t keysym, bool pressed) = 0;
};

}  // namespace quorin
