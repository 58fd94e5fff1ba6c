#pragma once
// Captures the first display at a steady rate and feeds every changed picture to the encoder,
// with times measured from the first picture of each start. One manager per client.
//
// Threads: construct, start() and stop() on the owner's thread. Pictures are grabbed and
// handed to the encoder on the manager's own "capture" thread.

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "video/capture_error.h"
#include "video/display_capturer.h"
#include "video/image_sink.h"

namespace quorin {

class ScreenCaptureManager {
 public:
  // Both must outlive the manager.
  ScreenCaptureManager(ImageSink& encoder, DisplayCapturer& capturer);
  ~ScreenCaptureManager();  // stop()
  ScreenCaptureManager(const ScreenCaptureManager&) = delete;
  ScreenCaptureManager& operator=(const ScreenCaptureManager&) = delete;

  // Starts capturing the first display at no more than `fps` pictures per second. Returns once
  // capture runs, or the error: the capturer's own when the displays cannot be listed or the
  // display cannot be opened, noDisplayFoundError() when there is no display. A failed start
  // leaves a running capture as it was; a successful one replaces it.
  std::optional<CaptureError> start(int fps);

  // Ends capture and returns once no more pictures will reach the encoder. Safe in any state.
  void stop();

 private:
  void run(std::unique_ptr<DisplayStream> stream, std::chrono::nanoseconds interval);

  ImageSink& encoder_;
  DisplayCapturer& capturer_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace quorin
