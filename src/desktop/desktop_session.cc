#include "desktop/desktop_session.h"

namespace quorin {

DesktopSession::DesktopSession(std::string monitorName, std::unique_ptr<DisplayStream> stream,
                               PictureSize firstPicture, std::unique_ptr<EventSink> sink,
                               SinkArea sinkArea, std::shared_ptr<void> keepAlive)
    : keepAlive_(std::move(keepAlive)),
      monitorName_(std::move(monitorName)),
      stream_(std::move(stream)),
      injector_(std::move(sink)),
      sinkArea_(std::move(sinkArea)) {
  geometry_.picture = geometry_.stream = firstPicture;
  updateView(stream_ ? stream_->area() : ScreenRect{}, firstPicture);
}

DesktopSession::~DesktopSession() { injector_.releaseAll(); }

PictureSize DesktopSession::chooseStreamSize(PictureSize cap) {
  geometry_.stream = streamSizeFor(geometry_.picture, cap);
  injector_.setGeometry(geometry_);
  return geometry_.stream;
}

void DesktopSession::updateView(const ScreenRect& streamArea, PictureSize picture) {
  geometry_.monitor = sinkArea_ ? sinkArea_(streamArea) : streamArea;
  geometry_.picture = picture;
  injector_.setGeometry(geometry_);
}

}  // namespace quorin

namespace quorin {

std::optional<PictureSize> awaitFirstPicture(DisplayStream& stream, const std::atomic<bool>& cancelled,
                                             std::string& error) {
  using Clock = std::chrono::steady_clock;
  // A compositor hands out its first buffer within a frame or two; an X grab is immediate.
  const auto giveUp = Clock::now() + std::chrono::seconds(5);
  while (!cancelled) {
    if (const BgraImage* picture = stream.grab(true)) return PictureSize{picture->width, picture->height};
    if (auto failure = stream.failure()) {
      error = failure->description;
      return std::nullopt;
    }
    if (Clock::now() >= giveUp) break;
    stream.waitForChange(std::min(giveUp, Clock::now() + std::chrono::milliseconds(100)));
  }
  if (error.empty()) error = cancelled ? "The screen was not needed any more." : "The screen sent no picture.";
  return std::nullopt;
}

}  // namespace quorin
