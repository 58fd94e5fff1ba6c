#pragma once
// A scripted screen (tests only): the test sets the display list or its error, and the picture
// changes only when the test calls change().

#include <atomic>
#include <memory>
#include <optional>
#include <vector>

#include "video/display_capturer.h"

namespace quorin {

class FakeDisplayCapturer final : public DisplayCapturer {
 public:
  ShareableContent content{{ScreenRect{0, 0, 64, 48}}, std::nullopt};
  std::optional<CaptureError> openError;
  std::atomic<bool> changed{false};
  std::atomic<int> grabs{0};

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
      return owner_.changed.exchange(false) || force ? &image_ : nullptr;
    }

   private:
    FakeDisplayCapturer& owner_;
    std::vector<std::uint8_t> pixels_;
    BgraImage image_;
  };
};

}  // namespace quorin
