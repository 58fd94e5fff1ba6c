#include "desktop/desktop_session.h"

#include <future>

#include "base/log.h"

namespace quorin {

DesktopSession::DesktopSession(std::string monitorName, std::unique_ptr<DisplayStream> stream,
                               PictureSize firstPicture, std::unique_ptr<EventSink> sink,
                               SinkArea sinkArea, std::shared_ptr<void> keepAlive)
    : keepAlive_(std::move(keepAlive)),
      monitorName_(std::move(monitorName)),
      stream_(std::move(stream)),
      sinkArea_(std::move(sinkArea)),
      cutInput_(sink ? sink->canceller() : nullptr),
      injector_(std::make_unique<InputInjector>(std::move(sink))) {
  geometry_.picture = geometry_.stream = firstPicture;
  updateView(stream_ ? stream_->area() : ScreenRect{}, firstPicture);
}

DesktopSession::~DesktopSession() {
  std::promise<void> released;
  std::future<void> done = released.get_future();
  input_.post([this, &released] {
    injector_->releaseAll();
    injector_.reset();  // the sink closes its display connection here, not on the main thread
    released.set_value();
  });
  if (done.wait_for(kInputStopLimit) != std::future_status::ready && cutInput_) {
    logLine("the input display did not answer; cutting it off");
    cutInput_();
  }
  done.wait();
}

void DesktopSession::handle(const InputEvent& event) {
  ++queuedInput_;
  onInputThread([this, event](InputInjector& injector) {
    injector.handle(event);
    if (queuedInput_-- == kMaxQueuedInput && inputRoom_) inputRoom_();
  });
}

void DesktopSession::onInputThread(std::function<void(InputInjector&)> task) {
  input_.post([this, task = std::move(task)] {
    task(*injector_);
    if (injector_->failed()) inputFailed_ = true;
  });
}

PictureSize DesktopSession::chooseStreamSize(PictureSize cap) {
  geometry_.stream = streamSizeFor(geometry_.picture, cap);
  onInputThread([geometry = geometry_](InputInjector& injector) { injector.setGeometry(geometry); });
  return geometry_.stream;
}

void DesktopSession::updateView(const ScreenRect& streamArea, PictureSize picture) {
  geometry_.monitor = sinkArea_ ? sinkArea_(streamArea) : streamArea;
  geometry_.picture = picture;
  onInputThread([geometry = geometry_](InputInjector& injector) { injector.setGeometry(geometry); });
}

}  // namespace quorin

namespace quorin {

std::optional<PictureSize> awaitFirstPicture(DisplayStream& stream, const std::atomic<bool>& cancelled,
                                             CaptureError& error) {
  using Clock = std::chrono::steady_clock;
  // An X grab is immediate. A compositor may send nothing while its screen is idle: then the
  // monitor's size as the stream describes it stands in, and the pictures, whatever their
  // size, are fitted into a stream of that size.
  const auto giveUp = Clock::now() + std::chrono::seconds(2);
  while (!cancelled) {
    if (const BgraImage* picture = stream.grab(true)) return PictureSize{picture->width, picture->height};
    if (auto failure = stream.failure()) {
      error = *failure;
      return std::nullopt;
    }
    if (Clock::now() >= giveUp) {
      const ScreenRect area = stream.area();
      if (area.width > 0 && area.height > 0) {
        logLine("the shared screen sent no picture yet; streaming it at its described size");
        return PictureSize{area.width, area.height};
      }
      error = noPictureError();
      return std::nullopt;
    }
    stream.waitForChange(std::min(giveUp, Clock::now() + std::chrono::milliseconds(100)));
  }
  error = screenNotNeededError();
  return std::nullopt;
}

}  // namespace quorin
