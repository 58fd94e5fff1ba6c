#pragma once
// The platform's screen source: a stream of pictures of one monitor. Implementations: X11
// (x11/x11_display_stream.h) and PipeWire (wayland/pipewire_display_stream.h); tests use fakes.

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>

#include "base/geometry.h"
#include "video/capture_error.h"
#include "video/changed_area.h"
#include "video/image_sink.h"

namespace quorin {

// Pictures of one monitor. Used by one thread at a time (the capture thread once started),
// except for interrupt() and abandon().
class DisplayStream {
 public:
  virtual ~DisplayStream() = default;

  // Returns the monitor's current picture, cursor included, when something changed since the
  // last picture returned, or always when `force` is set. Nothing when the monitor is idle or
  // the grab failed. The picture stays valid until the next call or the stream's end. Its
  // size follows the monitor: a resolution, scale or rotation change gives pictures of
  // another size.
  virtual const BgraImage* grab(bool force) = 0;

  // What differs between the last picture grab() returned and the picture it returned before,
  // in picture pixels; everything when the stream cannot tell. Same thread as grab().
  virtual ChangedArea changedArea() const { return {}; }

  // When the stream first heard of a change that the last picture grab() returned shows (the
  // arrival of a damage or pointer event); nothing when it cannot tell. For the benchmarks'
  // stage log. Same thread as grab().
  virtual std::optional<std::chrono::steady_clock::time_point> changeSeenAt() const { return std::nullopt; }

  // Where the monitor of the last picture lies, in the coordinates the desktop's input sink
  // takes (X11: root-window pixels; a portal: the stream's logical size at 0, 0).
  virtual ScreenRect area() const = 0;

  // Waits until the display may have changed since the last grab, `deadline` passes, or
  // interrupt() is called; true when a change may be waiting. Capture thread.
  // The default sleeps until the deadline (or interrupt) and returns true, so a stream that
  // cannot tell when its display changes is polled at the frame rate as before.
  virtual bool waitForChange(std::chrono::steady_clock::time_point deadline);
  // Makes a waitForChange in progress, or the next one, return at once. Any thread.
  virtual void interrupt();
  // Cuts the stream off from a display server that stopped answering: a call blocked on it
  // returns, and every later grab fails. Any thread.
  virtual void abandon() {}
  // Set once the stream has ended for good (the compositor or the user stopped sharing, the
  // display went away); grab() then returns nothing. The capture manager then stops and
  // reports it. Capture thread.
  virtual std::optional<CaptureError> failure() const { return std::nullopt; }

 private:
  std::mutex wakeMutex_;
  std::condition_variable wake_;
  bool interrupted_ = false;
};

}  // namespace quorin
