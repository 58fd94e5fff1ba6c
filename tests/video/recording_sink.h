#pragma once
// An ImageSink that keeps a copy of every picture the capture handed over (tests only).

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "video/image_sink.h"

namespace quorin {

class RecordingSink final : public ImageSink {
 public:
  struct Picture {
    std::chrono::microseconds pts{0};
    int width = 0;
    int height = 0;
    std::vector<std::uint32_t> pixels;  // without row padding
    std::uint32_t at(int x, int y) const { return pixels.at(std::size_t(y) * width + x) & 0xFFFFFF; }
  };

  void encode(const BgraImage& image, std::chrono::microseconds pts) override {
    Picture picture{pts, image.width, image.height, {}};
    for (int y = 0; y < image.height; ++y) {
      const auto* row = reinterpret_cast<const std::uint32_t*>(image.pixels + std::size_t(y) * image.stride);
      picture.pixels.insert(picture.pixels.end(), row, row + image.width);
    }
    std::lock_guard lock(mutex_);
    pictures_.push_back(std::move(picture));
    arrived_.notify_all();
  }

  // Waits until `count` pictures arrived in all; false on timeout.
  bool waitFor(std::size_t count) {
    std::unique_lock lock(mutex_);
    return arrived_.wait_for(lock, std::chrono::seconds(5), [&] { return pictures_.size() >= count; });
  }
  std::size_t count() {
    std::lock_guard lock(mutex_);
    return pictures_.size();
  }
  Picture picture(std::size_t index) {
    std::lock_guard lock(mutex_);
    return pictures_.at(index);
  }

 private:
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<Picture> pictures_;
};

}  // namespace quorin
