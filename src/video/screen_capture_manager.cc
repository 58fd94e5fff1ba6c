#include "video/screen_capture_manager.h"

#include <pthread.h>

#include <algorithm>
#include <optional>

#include "base/stage_log.h"
#include "video/frame_pacer.h"

namespace quorin {

ScreenCaptureManager::ScreenCaptureManager(ImageSink& encoder) : encoder_(encoder) {}

ScreenCaptureManager::~ScreenCaptureManager() { stop(); }

void ScreenCaptureManager::setEndHandler(EndHandler handler) { endHandler_ = std::move(handler); }

void ScreenCaptureManager::setChangeHandler(ChangeHandler handler) {
  changeHandler_ = std::move(handler);
}

void ScreenCaptureManager::start(std::unique_ptr<DisplayStream> stream, int fps) {
  stop();
  {
    std::lock_guard lock(mutex_);
    stopping_ = false;
    running_ = true;
    stream_ = stream.get();
  }
  const auto interval = std::chrono::nanoseconds(std::chrono::seconds(1)) / std::max(fps, 1);
  thread_ = std::thread(
      [this, interval, stream = std::move(stream)]() mutable { run(std::move(stream), interval); });
  pthread_setname_np(thread_.native_handle(), "capture");
}

bool ScreenCaptureManager::stop() {
  bool abandoned = false;
  {
    std::unique_lock lock(mutex_);
    stopping_ = true;
    if (stream_) stream_->interrupt();
    wake_.notify_all();
    // A grab blocked on a display server that stopped answering is cut off after a grace.
    if (!wake_.wait_for(lock, kStopGrace, [this] { return !running_; }) && stream_) {
      stream_->abandon();
      abandoned = true;
    }
  }
  if (thread_.joinable()) thread_.join();
  return abandoned;
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
  ScreenRect area = stream->area();  // as the desktop session took it
  PictureSize picture;
  const auto sinceStart = [&](Clock::time_point time) {
    return std::chrono::duration_cast<std::chrono::microseconds>(time - *startTime);
  };
  int stillSlots = 0;     // since the last picture
  bool refining = false;  // the encoder may still want slots for the last picture
  FramePacer pacer(interval, Clock::now());
  auto notBefore = pacer.notBefore();
  for (;;) {
    const auto now = Clock::now();
    bool slotUsed = false;  // a picture or a refinement went to the encoder
    // Until a first picture went out, every grab delivers one whatever changed.
    if (const BgraImage* image = stream->grab(!startTime)) {
      // The first picture, which no change asked for, spends no slot: the first change after
      // it sets the slots' phase.
      slotUsed = startTime.has_value();
      if (!startTime) startTime = now;
      const PictureSize size{image->width, image->height};
      if (size != picture || stream->area() != area) {
        picture = size;
        area = stream->area();
        if (changeHandler_) changeHandler_(area, picture);
      }
      if (StageLog& stages = StageLog::instance(); stages.enabled()) {
        if (const auto seen = stream->changeSeenAt()) stages.mark("noticed", sinceStart(now), *seen);
        stages.mark("grabStart", sinceStart(now), now);
        stages.mark("grabbed", sinceStart(now));
      }
      encoder_.encode(*image, sinceStart(now), stream->changedArea());
      stillSlots = 0;
      refining = true;
    } else if (stream->area() != area) {
      // Another monitor is shown, and no picture of it came yet (an idle compositor may send
      // none for long): input follows now. The picture size stays the last one known, empty
      // before the first.
      area = stream->area();
      if (changeHandler_) changeHandler_(area, picture);
    } else if (refining && ++stillSlots > kQuietSlots) {
      refining = encoder_.refine(sinceStart(now)) != ImageSink::Refinement::kDone &&
                 stillSlots < kQuietSlots + kRefinementSlots;
      slotUsed = true;
    }
    if ((failure = stream->failure())) break;
    // The next grab comes with the next change, changes made meanwhile taken together, but
    // not before the pacer allows (FramePacer: no more grabs than the frame rate allows), which
    // lets a change come ahead of its slot. With grabs strictly on slots, a screen changing at
    // the frame rate waited for a slot with every change, by its phase against the slots: the
    // latency bench's median wait at 1080p was 0.7-14.6 ms in six runs, 0.03-0.8 ms since.
    // Until the refinement is over, every slot comes, change or not; but a change that comes
    // late for its slot, within the quiet slot after a picture, is grabbed as it comes, as when
    // not refining: motion whose pictures straddle the slots must not wait a slot each time.
    // A look that found nothing (a pointer or monitor look woke the stream, or a slot passed
    // without a change) spends no slot, and refinements come on the slots, not ahead of them:
    // either spent the lead, and the changes after them waited for their slots again (a
    // monitor look every 2 s left 10 ms of wait on every picture after it).
    notBefore = slotUsed ? pacer.taken(now) : pacer.notBefore();
    const auto tick = slotUsed ? pacer.slot() : std::max(pacer.slot(), now + interval);
    if (startTime && !stream->waitForChange(tick)) {
      if (!refining) {
        while (!stopRequested() && !stream->failure() &&
               !stream->waitForChange(Clock::now() + std::chrono::seconds(1))) {
        }
      } else if (stillSlots < kQuietSlots) {
        stream->waitForChange(tick + interval);
      }
    }
    if (!sleepUntil(startTime ? notBefore : tick)) break;
  }
  {
    std::lock_guard lock(mutex_);
    stream_ = nullptr;  // from here on stop() leaves the stream alone
  }
  stream.reset();  // the stream's connection is closed on the thread that used it
  {
    std::lock_guard lock(mutex_);
    running_ = false;
  }
  wake_.notify_all();
  if (failure && endHandler_) endHandler_(*failure);
}

}  // namespace quorin
