#include "desktop/gnome/gnome_display_stream.h"

#include <algorithm>

#include "base/log.h"
#include "video/capture_error.h"

namespace quorin {

GnomeDisplayStream::GnomeDisplayStream(std::shared_ptr<MutterRemoteDesktop> remote, std::string wanted,
                                       std::chrono::milliseconds callLimit)
    : remote_(std::move(remote)), wanted_(std::move(wanted)), callLimit_(callLimit) {}

std::unique_ptr<GnomeDisplayStream> GnomeDisplayStream::open(std::shared_ptr<MutterRemoteDesktop> remote,
                                                             std::string wanted, std::chrono::milliseconds callLimit,
                                                             const std::atomic<bool>* cancelled, CaptureError& error) {
  std::unique_ptr<GnomeDisplayStream> self(new GnomeDisplayStream(std::move(remote), std::move(wanted), callLimit));
  const std::vector<Monitor> monitors = self->remote_->monitors();
  const Monitor* monitor = chooseMonitor(monitors, self->wanted_);
  if (!monitor) {
    error = self->remote_->ended() ? self->remote_->endReason().value_or(compositorGoneError()) : noDisplayFoundError();
    return nullptr;
  }
  if (!self->record(*monitor, cancelled, error)) return nullptr;
  // A change of layout now interrupts whatever the capture waits for.
  self->remote_->setChangeHandler([stream = self.get()] { stream->interrupt(); });
  return self;
}

GnomeDisplayStream::~GnomeDisplayStream() { remote_->setChangeHandler({}); }

bool GnomeDisplayStream::record(const Monitor& monitor, const std::atomic<bool>* cancelled, CaptureError& error) {
  std::optional<PipeWireNode> node = remote_->record(monitor.name, cancelled, error);
  if (!node) return false;
  std::shared_ptr<PipeWireDisplayStream> pictures =
      PipeWireDisplayStream::open(std::move(*node), callLimit_, cancelled, error);
  if (!pictures) return false;
  area_ = {0, 0, monitor.rect.width, monitor.rect.height};
  std::lock_guard lock(mutex_);
  pictures_ = std::move(pictures);
  return true;
}

void GnomeDisplayStream::followLayout() {
  if (!remote_->takeLayoutChange() || remote_->ended()) return;
  const std::vector<Monitor> monitors = remote_->monitors();
  const Monitor* monitor = chooseMonitor(monitors, wanted_);
  if (!monitor) return;  // no monitor at all for now: the one recorded stays until one comes
  if (monitor->name == remote_->recordedConnector()) {
    area_ = {0, 0, monitor->rect.width, monitor->rect.height};
    return;
  }
  logLine("recording monitor " + monitor->name + " in place of " + remote_->recordedConnector());
  {
    // Closed before its session stops, so that its end is not taken for the session's.
    std::lock_guard lock(mutex_);
    pictures_.reset();
  }
  CaptureError error;
  if (!record(*monitor, nullptr, error)) failure_ = error;
}

std::shared_ptr<PipeWireDisplayStream> GnomeDisplayStream::pictures() const {
  std::lock_guard lock(mutex_);
  return pictures_;
}

const BgraImage* GnomeDisplayStream::grab(bool force) {
  followLayout();
  const auto pictures = this->pictures();
  return failure_ || !pictures ? nullptr : pictures->grab(force);
}

ScreenRect GnomeDisplayStream::area() const { return area_; }

bool GnomeDisplayStream::waitForChange(std::chrono::steady_clock::time_point deadline) {
  const auto elsewhere = [this] { return remote_->layoutChangePending() || remote_->ended(); };
  const auto pictures = this->pictures();
  if (elsewhere() || !pictures) return true;
  return pictures->waitForChange(deadline) || elsewhere();
}

void GnomeDisplayStream::interrupt() {
  if (const auto pictures = this->pictures()) pictures->interrupt();
}

std::optional<CaptureError> GnomeDisplayStream::failure() const {
  if (failure_) return failure_;
  const auto pictures = this->pictures();
  const std::optional<CaptureError> stopped = pictures ? pictures->failure() : std::nullopt;
  if (!stopped && !remote_->ended()) return std::nullopt;
  // The stream may stop a moment before mutter says why (its Closed, or its names gone).
  const std::optional<CaptureError> reason = remote_->endReason(std::chrono::seconds(1));
  failure_ = reason ? reason : stopped;
  return failure_;
}

}  // namespace quorin
