#pragma once
// Keeps what the video pipeline hands over on its own threads, for a test to wait for and read
// (tests only): Recorder<T> for any callback, RecordingSink for an ImageSink's pictures and
// refinements.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "video/image_sink.h"

namespace quorin {

template <class T>
class Recorder {
 public:
  void add(T item) {
    std::lock_guard lock(mutex_);
    items_.push_back(std::move(item));
    arrived_.notify_all();
  }
  // Waits until `count` items arrived in all; false on timeout.
  bool waitFor(std::size_t count) {
    std::unique_lock lock(mutex_);
    return arrived_.wait_for(lock, std::chrono::seconds(10), [&] { return items_.size() >= count; });
  }
  std::size_t count() {
    std::lock_guard lock(mutex_);
    return items_.size();
  }
  T at(std::size_t index) {
    std::lock_guard lock(mutex_);
    return items_.at(index);
  }

 private:
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<T> items_;
};

struct RecordedPicture {
  std::chrono::microseconds pts{0};
  int width = 0, height = 0;
  std::vector<std::uint32_t> pixels;  // without row padding
  ChangedArea changed;
  std::uint32_t at(int x, int y) const { return pixels.at(std::size_t(y) * width + x) & 0xFFFFFF; }
};

// refine() records its time, calls onRefine and answers what `answer` says: queued unless the
// test says otherwise.
class RecordingSink final : public ImageSink, public Recorder<RecordedPicture> {
 public:
  Recorder<std::chrono::microseconds> refinements;  // the times refine() was called with
  std::function<void()> onRefine;                   // after each, on its caller's thread
  std::function<Refinement()> answer = [] { return Refinement::kQueued; };

  Refinement refine(std::chrono::microseconds pts) override {
    refinements.add(pts);
    if (onRefine) onRefine();
    return answer();
  }
  void encode(const BgraImage& image, std::chrono::microseconds pts, const ChangedArea& changed) override {
    RecordedPicture picture{pts, image.width, image.height, {}, changed};
    for (int y = 0; y < image.height; ++y) {
      const auto* row = reinterpret_cast<const std::uint32_t*>(image.pixels + std::size_t(y) * image.stride);
      picture.pixels.insert(picture.pixels.end(), row, row + image.width);
    }
    add(std::move(picture));
  }
};

}  // namespace quorin
