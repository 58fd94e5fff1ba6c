#pragma once
// What one client sees and touches of the desktop: the picture stream of one monitor, the
// input sink for that monitor, and the geometry between them (the monitor's place in the
// sink's coordinates, the size of its pictures, and the stream they are fitted into). A
// desktop environment makes one per client (desktop_environment.h); the client session drops
// it when the client goes, so display connections and virtual input devices live exactly as
// long as the client, and the next client starts afresh after a compositor or X server
// restart.
//
// Thread: made on the desktop thread that opened it, then used and destroyed on the main
// thread.

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "base/geometry.h"
#include "input/input_injector.h"
#include "protocol/control_messages.h"
#include "video/display_stream.h"

namespace quorin {

class DesktopSession {
 public:
  // Where input for a monitor goes, from the stream's own idea of the monitor's area: the
  // same rectangle on X11 and through a portal, an output of the compositor's layout on
  // wlroots. Main thread.
  using SinkArea = std::function<ScreenRect(const ScreenRect& streamArea)>;

  // `stream` has delivered its first picture, of `firstPicture` size. `keepAlive` holds what
  // the stream and sink share (a portal session) until both are gone.
  DesktopSession(std::string monitorName, std::unique_ptr<DisplayStream> stream,
                 PictureSize firstPicture, std::unique_ptr<EventSink> sink, SinkArea sinkArea = {},
                 std::shared_ptr<void> keepAlive = {});
  ~DesktopSession();  // lets go of every button the client held
  DesktopSession(const DesktopSession&) = delete;
  DesktopSession& operator=(const DesktopSession&) = delete;

  // The monitor streamed, as its display server names it; empty where a portal chose it.
  const std::string& monitorName() const { return monitorName_; }
  const DesktopGeometry& geometry() const { return geometry_; }

  // Fixes the stream's size for the session: the first picture fitted within `cap`.
  PictureSize chooseStreamSize(PictureSize cap);

  // The picture stream, for the capture; once.
  std::unique_ptr<DisplayStream> takeStream() { return std::move(stream_); }

  // The monitor moved or its pictures changed size (as the capture saw it).
  void updateView(const ScreenRect& streamArea, PictureSize picture);

  // Injects one of the client's input events.
  void handle(const InputEvent& event) { injector_.handle(event); }

 private:
  std::shared_ptr<void> keepAlive_;  // destroyed last
  const std::string monitorName_;
  std::unique_ptr<DisplayStream> stream_;
  InputInjector injector_;
  SinkArea sinkArea_;
  DesktopGeometry geometry_;
};

}  // namespace quorin

namespace quorin {

// Waits for the first picture of a freshly opened stream, whose size the stream size is
// chosen from (a portal's own idea of the monitor's size may be in other units); when none
// comes within two seconds (an idle compositor), the stream's area stands in. Nothing, with
// `error` set, when the stream fails or `cancelled` is set.
std::optional<PictureSize> awaitFirstPicture(DisplayStream& stream, const std::atomic<bool>& cancelled,
                                             std::string& error);

}  // namespace quorin
