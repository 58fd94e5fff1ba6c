#include "video/screen_capture_manager.h"

#include <pthread.h>

#include <algorithm>

namespace quorin {

ScreenCaptureManager::ScreenCaptureManager(ImageSink& encoder, DisplayCapturer& capturer)
    : encoder_(encoder), capturer_(capturer) {}

ScreenCaptureManager::~ScreenCaptureManager() { stop(); }

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
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void ScreenCaptureManager::run(std::unique_ptr<DisplayStream> stream,
                               std::chrono::nanoseconds interval) {
  using Clock = std::chrono::steady_clock;
  std::optional<Clock::time_point> startTime;
  auto tick = Clock::now();
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    lock.unlock();
    const auto now = Clock::now();
    // Until a first picture went out, every tick delivers one whatever changed.
    if (const BgraImage* image = stream->grab(!startTime)) {
      if (!startTime) startTime = now;
      encoder_.encode(*image, std::chrono::duration_cast<std::chrono::microseconds>(now - *startTime));
    }
    // Stay on the tick grid; ticks missed while busy are skipped, not caught up.
    const auto after = Clock::now();
    while (tick <= after) tick += interval;
    lock.lock();
    wake_.wait_until(lock, tick, [this] { return stopping_; });
  }
  lock.unlock();
  stream.reset();  // the stream's connection is closed on the thread that used it
}

}  // namespace quorin
