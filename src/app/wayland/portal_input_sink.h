#pragma once
// The EventSink of a GNOME or KDE desktop: the client's input goes through the remote desktop
// grant of the portal session that shares the screen, so one approval of the user covers
// both. That session lives only while a client watches the screen, so the sink looks up the
// current one at every event; without one (no client streaming yet, or a desktop whose portal
// offers no remote desktop) events are dropped.
//
// Thread: main, like the capturer whose sessions it follows.

#include <memory>

#include "input/event_sink.h"

namespace quorin {

class WaylandDisplayCapturer;

// `capturer` must outlive the sink.
std::unique_ptr<EventSink> makePortalInputSink(WaylandDisplayCapturer& capturer);

}  // namespace quorin
