#pragma once
// The EventSink that injects through the XTest extension on its own X connection. Every call
// that waits for the X server is time-limited (RoundTripWatch): a server that stops answering
// is cut off, and the sink reports failed() and posts nothing from then on.

#include <atomic>
#include <memory>

#include "base/x11/x_display.h"
#include "input/event_sink.h"

namespace quorin::x11 {

// Connects to `displayName` (nullptr: $DISPLAY), giving up after kOpenLimit or once
// `cancelled` is set. Nothing when no display answers or it lacks XTest. The sink keeps its
// connection to itself; use it on one thread at a time (the session's input thread).
std::unique_ptr<EventSink> openXTestEventSink(const char* displayName = nullptr,
                                              const std::atomic<bool>& cancelled = kNeverCancelled);

}  // namespace quorin::x11
