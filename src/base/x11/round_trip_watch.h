#pragma once
// Watches the round trips of one connection to a display server from a thread of its own, and
// cuts the connection off (`cutOff`, which must make the blocked call return) when one takes
// longer than `limit`: a stopped server would otherwise hold the calling thread for ever.
//
// Thread: begin() on the thread that makes the round trips; fired() from any thread. cutOff
// runs on the watch's thread, at most once.

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

namespace quorin::x11 {

class RoundTripWatch {
 public:
  static constexpr std::chrono::milliseconds kDefaultLimit{3000};

  explicit RoundTripWatch(std::function<void()> cutOff, std::chrono::milliseconds limit = kDefaultLimit);
  RoundTripWatch(const RoundTripWatch&) = delete;
  RoundTripWatch& operator=(const RoundTripWatch&) = delete;

  struct EndMark {
    void operator()(RoundTripWatch* watch) const { watch->since_ = 0; }
  };
  using Mark = std::unique_ptr<RoundTripWatch, EndMark>;

  // Marks a round trip (or a run of them) for as long as the returned object lives; a mark
  // within a mark changes nothing.
  [[nodiscard]] Mark begin();
  bool fired() const { return fired_; }

 private:
  void run(std::stop_token stop);

  std::function<void()> cutOff_;
  const std::chrono::milliseconds limit_;
  std::atomic<std::chrono::steady_clock::rep> since_{0};  // 0: no round trip under way
  std::atomic<bool> fired_{false};
  std::jthread thread_;  // last: stopped and joined first
};

}  // namespace quorin::x11
