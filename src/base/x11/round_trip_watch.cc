#include "base/x11/round_trip_watch.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>

namespace quorin::x11 {

RoundTripWatch::RoundTripWatch(std::function<void()> cutOff, std::chrono::milliseconds limit)
    : cutOff_(std::move(cutOff)), limit_(limit), thread_([this](std::stop_token stop) { run(stop); }) {}

RoundTripWatch::Mark RoundTripWatch::begin() {
  std::chrono::steady_clock::rep idle = 0;
  const bool outermost =
      since_.compare_exchange_strong(idle, std::chrono::steady_clock::now().time_since_epoch().count());
  return Mark(outermost ? this : nullptr);
}

void RoundTripWatch::run(std::stop_token stop) {
  std::mutex mutex;
  std::unique_lock lock(mutex);
  std::condition_variable_any wake;
  // Looks a few times per limit: a round trip is cut off between one and 1.25 limits.
  const auto interval = std::max(std::chrono::milliseconds(10), limit_ / 4);
  for (;;) {
    wake.wait_for(lock, stop, interval, [] { return false; });
    if (stop.stop_requested()) return;
    const auto since = since_.load();
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    if (since != 0 && !fired_ && std::chrono::steady_clock::duration(now - since) > limit_) {
      fired_ = true;
      cutOff_();
    }
  }
}

}  // namespace quorin::x11
