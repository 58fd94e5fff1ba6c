#pragma once
// The platform's screen source: which displays exist, and a stream of pictures of one of them.
// The X11 implementation is x11/x11_display_capturer.h; tests use a fake.

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "base/geometry.h"
#include "video/capture_error.h"
#include "video/image_sink.h"

namespace quorin {

// The displays that can be shared, the first display first. Each is an area of the screen in
// pixels; its width and height are the size of the pictures captured from it.
struct ShareableContent {
  std::vector<ScreenRect> displays;
  std::optional<CaptureError> error;  // set when the displays could not be listed
};

// Pictures of one display. Used by one thread at a time (the capture thread once started).
class DisplayStream {
 public:
  virtual ~DisplayStream() = default;

  // Returns the display's current picture, cursor included, when something changed since the
  // last picture returned, or always when `force` is set. Nothing when the display is idle or
  // the grab failed. The picture stays valid until the next call or the stream's end.
  virtual const BgraImage* grab(bool force) = 0;

  // Waits until the display may have changed since the last grab, `deadline` passes, or
  // interrupt() is called; true when a change may be waiting. Capture thread.
  // The default sleeps until the deadline (or interrupt) and returns true, so a stream that
  // cannot tell when its display changes is polled at the frame rate as before.
  virtual bool waitForChange(std::chrono::steady_clock::time_point deadline);
  // Makes a waitForChange in progress, or the next one, return at once. Any thread.
  virtual void interrupt();
  // Set once the stream has ended for good (the compositor or the user stopped sharing);
  // grab() then returns nothing. The capture manager then stops and reports it. Capture thread.
  virtual std::optional<CaptureError> failure() const { return std::nullopt; }

 private:
  std::mutex wakeMutex_;
  std::condition_variable wake_;
  bool interrupted_ = false;
};

class DisplayCapturer {
 public:
  virtual ~DisplayCapturer() = default;

  // Lists the displays. Any thread.
  virtual ShareableContent shareableContent() = 0;

  // Opens a stream of `display`; nothing, with `error` set, when that is impossible. Any thread;
  // the stream may then move to another thread.
  virtual std::unique_ptr<DisplayStream> openStream(const ScreenRect& display,
                                                    CaptureError& error) = 0;
};

}  // namespace quorin
