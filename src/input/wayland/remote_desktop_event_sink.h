#pragma once
// The EventSink of a Wayland desktop: pointer and keyboard events go through a remote desktop
// session (see RemoteDesktopInput), so the compositor injects them; no Wayland connection of
// our own is involved. Lives on the desktop session's input thread.
//
// Keys travel as keysyms, which the compositor maps onto its current keymap. A character
// with no legacy keysym travels as its Unicode keysym (0x01000000 + code point). Modifiers
// go down around each key rather than across a whole text, and every key still held is
// tracked so that finish() lets go of it if its release was lost. Held buttons are the
// injector's to release.

#include <cstdint>
#include <memory>
#include <vector>

#include "input/event_sink.h"
#include "input/wayland/remote_desktop_input.h"

namespace quorin {

class RemoteDesktopEventSink final : public EventSink {
 public:
  // `stream` is the shared stream's size in its own pixels (origin 0, 0).
  RemoteDesktopEventSink(std::unique_ptr<RemoteDesktopInput> input, ScreenRect stream);

  std::optional<ScreenRect> screenFrame() override;
  void movePointer(int x, int y) override;
  // The stream's size now: its monitor changed mode, or the session records another.
  void setShownArea(const ScreenRect& monitor) override;
  void setButton(MouseButton button, bool down) override;
  void pressKey(SpecialKey key, const Modifiers& modifiers) override;
  void typeText(std::u32string_view text, const Modifiers& modifiers) override;
  void finish() override;

 private:
  // Types one keysym with `modifiers` held around it.
  void typeKeysym(std::uint32_t keysym, const Modifiers& modifiers);
  void key(std::uint32_t keysym, bool down);

  std::unique_ptr<RemoteDesktopInput> input_;
  ScreenRect stream_;
  std::vector<std::uint32_t> heldKeys_;  // in the order they went down
};

}  // namespace quorin
