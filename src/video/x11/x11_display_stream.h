#pragma once
// Pictures of one monitor of an X11 screen. Each stream has its own X connection: pictures are
// grabbed through MIT-SHM, XDamage says whether anything was drawn since the last picture, the
// pointer is drawn in from XFixes, and RandR events (with a slow poll as a safety net) tell
// when the monitors change: the stream then follows its monitor by name to its new place and
// size, or falls back to the primary monitor, with a log line, once it is gone.
//
// A display that goes away (the X server ended) ends the stream with a sentence instead of the
// process, and abandon() cuts off a display that stopped answering.

#include <atomic>
#include <memory>
#include <string>

#include "base/geometry.h"
#include "base/x11/x_display.h"
#include "video/display_stream.h"

namespace quorin::x11 {

// `displayName` as XOpenDisplay takes it; empty means $DISPLAY. `monitor` names the monitor
// to stream; empty, or a name no monitor has, streams the primary one. A server that does not
// answer the open within kOpenLimit, or `cancelled` set meanwhile, gives nothing.
std::unique_ptr<DisplayStream> openDisplayStream(const std::string& displayName,
                                                 const std::string& monitor, CaptureError& error,
                                                 const std::atomic<bool>& cancelled = kNeverCancelled);

// Opens the display as the stream does, within kOpenLimit; nothing, with `error` set, when it
// cannot be reached or `cancelled` is set meanwhile.
DisplayPtr connectDisplay(const std::string& displayName, CaptureError& error,
                          const std::atomic<bool>& cancelled = kNeverCancelled);

}  // namespace quorin::x11
