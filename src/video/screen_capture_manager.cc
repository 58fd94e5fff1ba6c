#include "video/screen_capture_manager.h"

#include <pthread.h>

#include <algorithm>

namespace quorin {

ScreenCaptureManager::ScreenCaptureManager(ImageSink& encoder, DisplayCapturer& capturer)
    : encoder_(encoder), capturer_(capturer) {}

ScreenCaptureManager::~ScreenCaptureManager() { stop(); }

void ScreenCaptureManager::setEndHandler(EndHandler handler) { endHandler_ = std::move(handler); }

std::optional<CaptureError> ScreenCaptureManager::start(int fps) {
  ShareableContent content = capturer_.shareableContent();
  if (content.error) return content.error;
  if (content.displays.empty()) return noDisplayFoundError();
  CaptureError error;
  std::unique_ptr<DisplayStream> stream = capturer_.openStream(content.displays.front(), error);
  if (!stream) return error;

  stop();
  {
    std::lock_guard lock(mutex_);
    stopping_ = false;
    stream_ = stream.get();
  }
  const auto interval = std::chrono::nanoseconds(std::chrono::seconds(1)) / std::max(fps, 1);
  thread_ = std::thread(
      [this, interval, stream = std::move(stream)]() mutable { run(std::move(stream), interval); });
  pthread_setname_np(thread_.native_handle(), "capture");
  return std::nullopt;
}

void ScreenCaptureManager::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    if (stream_) stream_->interrupt();
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

bool ScreenCaptureManager::stopRequested() {
  std::lock_guard lock(mutex_);
  return stopping_;
}

bool ScreenCaptureManager::sleepUntil(std::chrono::steady_clock::time_point until) {
  std::unique_lock lock(mutex_);
  return !wake_.wait_until(lock, until, [this] { return stopping_; });
}

void ScreenCaptureManager::run(std::unique_ptr<DisplayStream> stream,
                               std::chrono::nanoseconds interval) {
  using Clock = std::chrono::steady_clock;
  std::optional<Clock::time_point> startTime;
  std::optional<CaptureError> failure;
  for (;;) {
    const auto now = Clock::now();
    // Until a first picture went out, every grab delivers one whatever changed.
    if (const BgraImage* image = stream->grab(!startTime)) {
      if (!startTime) startTime = now;
      encoder_.encode(*image, std::chrono::duration_cast<std::chrono::microseconds>(now - *startTime));
    }
    if ((failure = stream->failure())) break;
    // The next grab comes with the next change, but no sooner than one frame after this one;
    // changes made meanwhile are taken together by that grab.
    const auto notBefore = now + interval;
    bool changed = !startTime || stream->waitForChange(notBefore);
    while (!changed && !stopRequested()) {
      changed = stream->waitForChange(Clock::now() + std::chrono::seconds(1));
    }
    if (!sleepUntil(notBefore)) break;
  }
  {
    std::lock_guard lock(mutex_);
    stream_ = nullptr;
  }
  stream.reset();  // the stream's connection is closed on the thread that used it
  if (failure && endHandler_) endHandler_(*failure);
}

}  // namespace quorin
