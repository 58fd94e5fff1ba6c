#pragma once
// A scripted screen (tests only): the test sets the display list or its error, and the picture
// changes only when the test calls change(). Streams wake their waitForChange() on a change,
// or, with `reportsChanges` off, are polled like a stream that cannot tell.

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "video/display_capturer.h"

namespace quorin {

class FakeDisplayCapturer final : public DisplayCapturer {
 public:
  ShareableContent content{{ScreenRect{0, 0, 64, 48}}, std::nullopt};
  std::optional<CaptureError> openError;
  bool reportsChanges = true;
  std::atomic<int> grabs{0};

  // With an error, the stream ends for good at its next grab.
  void change(std::optional<CaptureError> end = std::nullopt) {
    std::lock_guard lock(mutex_);
    changed_ = true;
    if (end) ended_ = end;
    wake_.notify_all();
  }

  ShareableContent shareableContent() override { return content; }

  std::unique_ptr<DisplayStream> openStream(const ScreenRect& display, CaptureError& error) override {
    if (openError) error = *openError;
    return openError ? nullptr : std::make_unique<Stream>(*this, display);
  }

 private:
  class Stream final : public DisplayStream {
   public:
    Stream(FakeDisplayCapturer& owner, const ScreenRect& display)
        : owner_(owner), pixels_(std::size_t(display.width) * display.height * 4),
          image_{pixels_.data(), display.width, display.height, display.width * 4} {}
    const BgraImage* grab(bool force) override {
      ++owner_.grabs;
      std::lock_guard lock(owner_.mutex_);
      const bool changed = std::exchange(owner_.changed_, false);
      return !owner_.ended_ && (changed || force) ? &image_ : nullptr;
    }
    bool waitForChange(std::chrono::steady_clock::time_point deadline) override {
      if (!owner_.reportsChanges) return DisplayStream::waitForChange(deadline);
      std::unique_lock lock(owner_.mutex_);
      owner_.wake_.wait_until(lock, deadline, [&] { return owner_.changed_ || interrupted_; });
      interrupted_ = false;
      return owner_.changed_;
    }
    void interrupt() override {
      if (!owner_.reportsChanges) return DisplayStream::interrupt();
      std::lock_guard lock(owner_.mutex_);
      interrupted_ = true;
      owner_.wake_.notify_all();
    }
    std::optional<CaptureError> failure() const override {
      std::lock_guard lock(owner_.mutex_);
      return owner_.ended_;
    }

   private:
    FakeDisplayCapturer& owner_;
    std::vector<std::uint8_t> pixels_;
    BgraImage image_;
    bool interrupted_ = false;
  };

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool changed_ = false;
  std::optional<CaptureError> ended_;
};

}  // namespace quorin
