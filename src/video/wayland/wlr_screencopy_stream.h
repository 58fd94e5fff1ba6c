#pragma once
// Pictures of one output of a wlroots compositor (sway and others), which the compositor
// copies into shared memory of ours through wlr-screencopy, on a Wayland connection of the
// stream's own. The compositor draws the pointer in and answers a request only once the output
// changed, so an idle output costs nothing. The stream follows its output by name through
// mode, scale and transform changes, and falls back to the first output, with a log line,
// while its own is gone. A compositor that goes away ends the stream with a sentence instead
// of the process, and abandon() cuts off one that stopped answering.
//
// Outputs are named as the compositor names them (xdg-output's or wl_output's name, such as
// "HEADLESS-1"); their rectangles lie in the compositor's layout, in logical pixels: the
// coordinates the wlroots input sink (input/wayland/wlr_event_sink.h) takes. Pictures are in
// the output's own pixels, so a scaled output's pictures are larger than its rectangle.

#include <atomic>
#include <memory>
#include <string>

#include "base/geometry.h"
#include "video/display_stream.h"

namespace quorin::wayland {

// `displayName` as wl_display_connect takes it; empty means $WAYLAND_DISPLAY. `outputName`
// names the output to stream; empty, or a name no output has, streams the first one. Every
// question to the compositor on the way has a time limit, and gives up soon after `cancelled`
// (optional) is set.
std::unique_ptr<DisplayStream> openScreencopyStream(const std::string& displayName,
                                                    const std::string& outputName, CaptureError& error,
                                                    const std::atomic<bool>* cancelled = nullptr);

}  // namespace quorin::wayland
