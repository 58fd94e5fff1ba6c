#pragma once
// Captures the first display and feeds every changed picture to the encoder, as soon as the
// stream reports a change but never more often than the frame rate, with times measured from
// the first picture of each start. One manager per client.
//
// Threads: construct, setEndHandler(), start() and stop() on the owner's thread. Pictures are
// grabbed and handed to the encoder, and the end handler is called, on the manager's own
// "capture" thread.

#include <chrono>
#include <condition_variable>
#include <functional>
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
  using EndHandler = std::function<void(const CaptureError&)>;

  // Both must outlive the manager.
  ScreenCaptureManager(ImageSink& encoder, DisplayCapturer& capturer);
  ~ScreenCaptureManager();  // stop()
  ScreenCaptureManager(const ScreenCaptureManager&) = delete;
  ScreenCaptureManager& operator=(const ScreenCaptureManager&) = delete;

  // Called once, on the capture thread, when the stream ends for good (its failure()); capture
  // has then stopped and no more pictures reach the encoder. Set before start(); the handler
  // must not call stop() (it runs on the thread stop() joins).
  void setEndHandler(EndHandler handler);

  // Starts capturing the first display at no more than `fps` pictures per second. Returns once
  // capture runs, or the error: the capturer's own when the displays cannot be listed or the
  // display cannot be opened, noDisplayFoundError() when there is no display. A failed start
  // leaves a running capture as it was; a successful one replaces it.
  std::optional<CaptureError> start(int fps);

  // Ends capture and returns once no more pictures will reach the encoder. Safe in any state.
  void stop();

 private:
  void run(std::unique_ptr<DisplayStream> stream, std::chrono::nanoseconds interval);
  bool stopRequested();
  // Sleeps until `until` unless stop() comes first; false once stopping.
  bool sleepUntil(std::chrono::steady_clock::time_point until);

  ImageSink& encoder_;
  DisplayCapturer& capturer_;
  EndHandler endHandler_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  DisplayStream* stream_ = nullptr;  // the running stream, for stop() to interrupt its wait
  std::thread thread_;
};

}  // namespace quorin
