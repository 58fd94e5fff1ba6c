#pragma once
// Where InputInjector's events go: one facility that injects pointer and keyboard events
// system-wide, as if they came from local hardware. Lives on the injector's thread: the
// desktop session's input thread, never the main one, since a call may wait for a display
// server. Only canceller() may be called from elsewhere.

#include <functional>
#include <optional>
#include <string_view>

#include "base/geometry.h"
#include "protocol/control_messages.h"

namespace quorin {

enum class MouseButton { left, right, wheelUp, wheelDown, wheelLeft, wheelRight };

class EventSink {
 public:
  virtual ~EventSink() = default;

  // The shared screen in root-window pixels, read afresh at each call; nothing when unknown.
  virtual std::optional<ScreenRect> screenFrame() = 0;

  // Absolute pointer motion to root-window pixels.
  virtual void movePointer(int x, int y) = 0;
  // Where the monitor the client sees lies now, in the coordinates movePointer takes; it may
  // change size or be another monitor than before. For sinks that keep to it.
  virtual void setShownArea(const ScreenRect& /*monitor*/) {}
  virtual void setButton(MouseButton button, bool down) = 0;

  // Keyboard calls press the modifiers before each key and release them after it, in reverse,
  // and leave no key down when they return.
  // Presses and releases one key.
  virtual void pressKey(SpecialKey key, const Modifiers& modifiers) = 0;
  // Types each Unicode scalar of `text` as one key press whatever the keyboard layout, the
  // active layout group and Caps Lock; U+000A is Return and U+0009 is Tab. A scalar that
  // cannot be typed is skipped.
  virtual void typeText(std::u32string_view text, const Modifiers& modifiers) = 0;

  // Ends one client event: delivers everything posted and undoes temporary changes made to
  // type it, so the machine is left as it was found.
  virtual void finish() = 0;

  // The display server was lost or cut off: the sink posts nothing any more.
  virtual bool failed() const { return false; }

  // What cuts the sink off its display server from any thread, so that a call blocked there
  // returns at once and the sink fails; it stays callable after the sink is gone. Empty for a
  // sink whose calls cannot block for long.
  virtual std::function<void()> canceller() { return {}; }
};

}  // namespace quorin
