#include "desktop/kde/kde_display_stream.h"

#include <algorithm>

#include "base/log.h"

namespace quorin::kde {
namespace {

using Clock = std::chrono::steady_clock;

// How often a wait for pictures looks at what KWin said meanwhile.
constexpr std::chrono::milliseconds kWatchInterval{200};
// How long a cast whose pictures stopped waits for KWin to say why.
constexpr std::chrono::seconds kReasonWait{1};

}  // namespace

std::unique_ptr<KdeDisplayStream> KdeDisplayStream::open(const std::string& display, Source source,
                                                         const std::atomic<bool>* cancelled, CaptureError& error) {
  std::unique_ptr<KdeDisplayStream> self(new KdeDisplayStream(std::move(source)));
  self->connection_ = std::make_unique<KwinConnection>();
  if (!self->connection_->open(display, error, cancelled)) return nullptr;
  if (!self->connection_->screencast()) {
    error = noScreencopyError();
    return nullptr;
  }
  if (!self->cast(cancelled, error)) return nullptr;
  return self;
}

KdeDisplayStream::~KdeDisplayStream() {
  // The pictures stop before the cast behind them.
  std::lock_guard lock(mutex_);
  pictures_.reset();
}

bool KdeDisplayStream::cast(const std::atomic<bool>* cancelled, CaptureError& error) {
  KwinCast::Source what{.windowUuid = source_.windowUuid};
  std::string name;
  ScreenRect rect;
  if (source_.windowUuid.empty()) {
    const std::vector<Monitor> monitors = connection_->monitors();
    const Monitor* monitor = chooseMonitor(monitors, source_.output);
    if (!monitor) {
      error = noOutputError();
      return false;
    }
    const std::vector<const WaylandOutput*> outputs = connection_->outputs();
    what.output = (*std::ranges::find(outputs, monitor->name, &WaylandOutput::name))->output.get();
    name = monitor->name;
    rect = monitor->rect;
  }
  {
    std::lock_guard lock(mutex_);
    pictures_.reset();
  }
  cast_.reset();
  cast_ = KwinCast::start(*connection_, what, cancelled, error);
  if (!cast_) return false;
  std::shared_ptr<PipeWireDisplayStream> pictures = PipeWireDisplayStream::open(
      PipeWireNode{.id = cast_->node(), .width = rect.width, .height = rect.height},
      std::chrono::duration_cast<std::chrono::milliseconds>(KwinConnection::kSetupTimeout), cancelled, error);
  if (!pictures) return false;
  castOutput_ = std::move(name);
  area_ = rect;
  std::lock_guard lock(mutex_);
  pictures_ = std::move(pictures);
  return true;
}

void KdeDisplayStream::update() {
  if (failure_) return;
  if (!connection_->dispatch(Clock::now())) {
    failure_ = compositorGoneError();
    return;
  }
  bool changed = connection_->takeOutputsChanged();
  const auto pictures = this->pictures();
  if (!changed && (cast_->closed() || (pictures && pictures->failure()))) {
    // The pictures may stop, or the cast close, a moment before KWin says that the output
    // went or that KWin itself is going: the whole story first.
    const auto deadline = Clock::now() + kReasonWait;
    connection_->roundtrip(deadline);
    changed = connection_->takeOutputsChanged();
    while (!changed && !cast_->closed() && connection_->dispatch(deadline) && Clock::now() < deadline) {
      changed = connection_->takeOutputsChanged();
    }
    if (connection_->lost()) {
      failure_ = compositorGoneError();
      return;
    }
  }
  if (changed && source_.windowUuid.empty()) {
    const std::vector<Monitor> monitors = connection_->monitors();
    const Monitor* monitor = chooseMonitor(monitors, source_.output);
    if (monitor && monitor->name == castOutput_) {
      area_ = monitor->rect;
    } else if (monitor) {
      logLine("casting output " + monitor->name + " in place of " + castOutput_);
      CaptureError error;
      if (!cast(nullptr, error)) failure_ = error;
      return;
    }
  }
  if (cast_->closed()) {
    logLine("KWin ended the screen cast");
    failure_ = sharingEndedError();
  } else if (pictures && pictures->failure()) {
    failure_ = pictures->failure();
  }
}

std::shared_ptr<PipeWireDisplayStream> KdeDisplayStream::pictures() const {
  std::lock_guard lock(mutex_);
  return pictures_;
}

const BgraImage* KdeDisplayStream::grab(bool force) {
  update();
  const auto pictures = this->pictures();
  if (failure_ || !pictures) return nullptr;
  const BgraImage* image = pictures->grab(force);
  if (image && !source_.windowUuid.empty()) area_ = {0, 0, image->width, image->height};
  return image;
}

ChangedArea KdeDisplayStream::changedArea() const {
  const auto pictures = this->pictures();
  return pictures ? pictures->changedArea() : ChangedArea{};
}

ScreenRect KdeDisplayStream::area() const { return area_; }

bool KdeDisplayStream::waitForChange(Clock::time_point deadline) {
  for (;;) {
    const std::string before = castOutput_;
    const ScreenRect area = area_;
    update();
    if (failure_ || castOutput_ != before || area_ != area) return true;
    const auto pictures = this->pictures();
    if (!pictures) return true;
    if (pictures->waitForChange(std::min(deadline, Clock::now() + kWatchInterval))) return true;
    if (Clock::now() >= deadline) return false;
  }
}

void KdeDisplayStream::interrupt() {
  if (const auto pictures = this->pictures()) pictures->interrupt();
}

}  // namespace quorin::kde
