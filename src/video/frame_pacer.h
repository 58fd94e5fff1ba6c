#pragma once
// When capture may grab next. Grabs are paced on slots one interval apart, and a grab may come
// up to three quarters of an interval ahead of its slot: over any stretch of time there are no
// more grabs than the frame rate allows, and one more at most, yet a screen that changes at the
// frame rate waits at most a quarter of an interval for each grab, whatever its phase against
// the slots, instead of up to a whole one. A grab that comes late moves the slots with it.
//
// Thread: the capture thread's. Plain arithmetic on the times it is given.

#include <algorithm>
#include <chrono>

namespace quorin {

class FramePacer {
 public:
  using Clock = std::chrono::steady_clock;

  // The first grab may come at `start`.
  FramePacer(std::chrono::nanoseconds interval, Clock::time_point start) : interval_(interval), slot_(start) {}

  // The earliest time of the next grab.
  Clock::time_point notBefore() const { return slot_ - lead(); }
  // The next slot itself: when to look again without a change, keeping the lead for one.
  Clock::time_point slot() const { return slot_; }
  // Takes a slot for a grab (or a refinement) at `at`; returns the new notBefore().
  Clock::time_point taken(Clock::time_point at) {
    slot_ = std::max(slot_, at) + interval_;
    return notBefore();
  }

 private:
  // Three quarters of an interval: a change at the frame rate waits at most a quarter of an
  // interval for its grab, and two grabs are never closer than that.
  std::chrono::nanoseconds lead() const { return interval_ - interval_ / 4; }

  const std::chrono::nanoseconds interval_;
  Clock::time_point slot_;
};

}  // namespace quorin
