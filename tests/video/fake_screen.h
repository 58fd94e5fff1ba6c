#pragma once
// A scripted screen (tests only): the picture changes only when the test calls change(),
// draw() or resize(). Streams wake their waitForChange() on a change, or, with `reportsChanges` off, are
// polled like a stream that cannot tell. With `hangs` set, a grab blocks like a display
// server that stopped answering, until the stream is abandoned or the test resumes it.

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "video/display_stream.h"

namespace quorin {

class FakeScreen {
 public:
  bool reportsChanges = true;
  std::atomic<bool> hangs = false;
  std::atomic<int> grabs{0};
  std::atomic<int> abandoned{0};

  // With an error, the stream ends for good at its next grab.
  void change(std::optional<CaptureError> end = std::nullopt) {
    std::lock_guard lock(mutex_);
    changed_ = true;
    drawn_ = {};
    if (end) ended_ = end;
    wake_.notify_all();
  }
  // A change the stream can place: its pictures report where, with any other changes
  // taken together.
  void draw(ScreenRect rect) {
    std::lock_guard lock(mutex_);
    if (!changed_) drawn_ = ChangedArea::none();
    drawn_.add(rect, {area_.width, area_.height});
    changed_ = true;
    wake_.notify_all();
  }
  // The monitor takes another size (and place), as after a resolution change.
  void resize(ScreenRect area) {
    std::lock_guard lock(mutex_);
    area_ = area;
    changed_ = true;
    drawn_ = {};
    wake_.notify_all();
  }

  // Another monitor of the same size is shown, and no picture of it comes yet, as when an idle
  // compositor follows the layout: the stream's area changes at its next grab, which gives none.
  void move(ScreenRect area) {
    std::lock_guard lock(mutex_);
    area_ = area;
    moved_ = true;
    wake_.notify_all();
  }

  // Wakes the stream's waitForChange() with nothing changed, as an X11 stream's periodic look
  // at the monitors does.
  void look() {
    std::lock_guard lock(mutex_);
    looked_ = true;
    wake_.notify_all();
  }

  // A hanging grab goes on, and sees every change made while it hung.
  void resume() {
    std::lock_guard lock(mutex_);
    hangs = false;
    wake_.notify_all();
  }

  std::unique_ptr<DisplayStream> openStream() { return std::make_unique<Stream>(*this); }

 private:
  class Stream final : public DisplayStream {
   public:
    explicit Stream(FakeScreen& owner) : owner_(owner) {}
    const BgraImage* grab(bool force) override {
      ++owner_.grabs;
      std::unique_lock lock(owner_.mutex_);
      owner_.wake_.wait(lock, [&] { return !owner_.hangs || abandoned_; });
      if (abandoned_) return nullptr;
      if (std::exchange(owner_.moved_, false)) area_ = owner_.area_;
      const bool changed = std::exchange(owner_.changed_, false);
      if (owner_.ended_ || !(changed || force)) return nullptr;
      changed_ = changed ? std::exchange(owner_.drawn_, {}) : ChangedArea{};
      area_ = owner_.area_;
      pixels_.assign(std::size_t(area_.width) * area_.height * 4, 0);
      image_ = {pixels_.data(), area_.width, area_.height, area_.width * 4};
      return &image_;
    }
    ScreenRect area() const override { return area_; }
    ChangedArea changedArea() const override { return changed_; }
    bool waitForChange(std::chrono::steady_clock::time_point deadline) override {
      if (!owner_.reportsChanges) return DisplayStream::waitForChange(deadline);
      std::unique_lock lock(owner_.mutex_);
      owner_.wake_.wait_until(lock, deadline, [&] {
        return owner_.changed_ || owner_.moved_ || owner_.looked_ || interrupted_;
      });
      interrupted_ = false;
      return owner_.changed_ || owner_.moved_ || std::exchange(owner_.looked_, false);
    }
    void interrupt() override {
      if (!owner_.reportsChanges) return DisplayStream::interrupt();
      std::lock_guard lock(owner_.mutex_);
      interrupted_ = true;
      owner_.wake_.notify_all();
    }
    void abandon() override {
      std::lock_guard lock(owner_.mutex_);
      abandoned_ = true;
      ++owner_.abandoned;
      owner_.wake_.notify_all();
    }
    std::optional<CaptureError> failure() const override {
      std::lock_guard lock(owner_.mutex_);
      return owner_.ended_;
    }

   private:
    FakeScreen& owner_;
    ScreenRect area_;
    ChangedArea changed_;
    std::vector<std::uint8_t> pixels_;
    BgraImage image_;
    bool interrupted_ = false;
    bool abandoned_ = false;
  };

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool changed_ = false;
  bool moved_ = false;
  bool looked_ = false;
  ChangedArea drawn_;  // what draw() placed since the last grab; everything after any other change
  ScreenRect area_{0, 0, 64, 48};
  std::optional<CaptureError> ended_;
};

}  // namespace quorin
