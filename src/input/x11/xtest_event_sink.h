#pragma once
// The EventSink that injects through the XTest extension on its own X connection.

#include <memory>

#include "input/event_sink.h"

namespace quorin::x11 {

// Connects to `displayName` (nullptr: $DISPLAY). Nothing when no display is reachable or it
// lacks XTest. The sink keeps its connection to itself; use it on one thread (the main one).
std::unique_ptr<EventSink> openXTestEventSink(const char* displayName = nullptr);

}  // namespace quorin::x11
