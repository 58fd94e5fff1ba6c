#pragma once
// The EventSink for wlroots compositors (sway and others): a virtual pointer and a virtual
// keyboard, typing through a layout of its own, on a Wayland connection of its own.

#include <memory>

#include "input/event_sink.h"

namespace quorin::wayland {

// Connects to `displayName` (nullptr: $WAYLAND_DISPLAY), creates both devices and waits until
// the compositor has them, so that the first event already counts. Nothing when no compositor
// is reachable or it offers no virtual pointer or virtual keyboard. Make one per client
// session; releasing it lets go of any button still held. Use it on one thread at a time (the
// session's input thread).
std::unique_ptr<EventSink> openWlrEventSink(const char* displayName = nullptr);

}  // namespace quorin::wayland
