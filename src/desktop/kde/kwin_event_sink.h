#pragma once
// The EventSink of a KDE desktop: KWin's fake input on a Wayland connection of its own.
// Pointer positions are KWin's global layout (the output's place plus the pixel), which is
// where the stream's area lies. Fake input takes keys, not characters, so text is typed
// through KWin's current keyboard layout: a character the layout has no key for is dropped,
// logged once. Keys and modifiers go down and up within one call; finish() lets go of
// anything still held.
//
// Thread: made on the desktop thread, which reads KWin's keymap then; used on the desktop
// session's input thread, where nothing waits for KWin but a keymap still unread (a second at
// most per ask).

#include <memory>
#include <string>

#include "input/event_sink.h"

namespace quorin::kde {

// Connects to KWin at `display` ($WAYLAND_DISPLAY when empty), authenticates for fake input and
// reads KWin's keymap. Nothing when KWin is unreachable or does not grant fake input.
std::unique_ptr<EventSink> openKwinEventSink(const std::string& display);

}  // namespace quorin::kde
