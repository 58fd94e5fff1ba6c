#pragma once
// What one client sees and touches of the desktop: the picture stream of one monitor, the
// input sink for that monitor, and the geometry between them (the monitor's place in the
// sink's coordinates, the size of its pictures, and the stream they are fitted into). A
// desktop environment makes one per client (desktop_environment.h); the client session drops
// it when the client goes, so display connections and virtual input devices live exactly as
// long as the client, and the next client starts afresh after a compositor or X server
// restart.
//
// Threads: made on the desktop thread that opened it, then used and destroyed on the main
// thread, which never waits for a display server here. Input is injected on the session's own
// "input" thread, which owns the injector and its sink from construction on: handle() and the
// geometry reach it as tasks, in the order they were made, and every round trip its sink
// makes is time-limited there.

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "base/geometry.h"
#include "base/io_thread.h"
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
  // Lets go of every button the client held, on the input thread, and stops it. A sink still
  // busy after kInputStopLimit (blocked on a hung display) is cut off, so that it returns.
  ~DesktopSession();
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

  // Queues one of the client's input events for the input thread; returns at once.
  void handle(const InputEvent& event);

  // Whether handle() may be called now: fewer than kMaxQueuedInput events wait for the input
  // thread. The caller keeps the rest in its own bounded inbox (where moves merge), so that a
  // slow display cannot make this queue grow without bound. Main thread.
  bool acceptsInput() const { return queuedInput_ < kMaxQueuedInput; }
  // Runs `room` on the input thread whenever the queue, having been full, has room again.
  // Set before the first handle().
  void setInputRoomHandler(std::function<void()> room) { inputRoom_ = std::move(room); }
  static constexpr int kMaxQueuedInput = 32;

  // The input sink lost its display server or was cut off from it: input goes nowhere now.
  // Any thread.
  bool inputFailed() const { return inputFailed_; }
  // Cuts the input sink off from its display at once, for a display known not to answer (the
  // capture had to be cut off), so that ending the session does not wait for it. Any thread.
  void cutInput() {
    if (cutInput_) cutInput_();
  }

  static constexpr std::chrono::milliseconds kInputStopLimit{500};

 private:
  // Runs `task` on the input thread, then notes whether the sink failed.
  void onInputThread(std::function<void(InputInjector&)> task);

  std::shared_ptr<void> keepAlive_;  // destroyed last
  const std::string monitorName_;
  std::unique_ptr<DisplayStream> stream_;
  SinkArea sinkArea_;
  DesktopGeometry geometry_;
  std::function<void()> cutInput_;  // the sink's canceller; any thread
  std::atomic<bool> inputFailed_{false};
  std::atomic<int> queuedInput_{0};
  std::function<void()> inputRoom_;
  std::unique_ptr<InputInjector> injector_;  // input thread only
  IoThread input_{"input"};                  // last: stopped first
};

}  // namespace quorin

namespace quorin {

// Waits for the first picture of a freshly opened stream, whose size the stream size is
// chosen from (a portal's own idea of the monitor's size may be in other units); when none
// comes within two seconds (an idle compositor), the stream's area stands in. Nothing, with
// `error` set, when the stream fails or `cancelled` is set.
std::optional<PictureSize> awaitFirstPicture(DisplayStream& stream, const std::atomic<bool>& cancelled,
                                             CaptureError& error);

}  // namespace quorin
