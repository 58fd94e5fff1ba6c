#include "desktop/desktop_session_request.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "base/event_loop.h"

namespace quorin {
namespace {

using namespace std::chrono_literals;

// An environment whose session opening cannot be cancelled (an X server that accepts and
// never answers) until the test lets it go.
class StuckEnvironment final : public DesktopEnvironment {
 public:
  std::vector<Monitor> monitors() override { return {}; }
  Result makeSession(const std::string&, const std::atomic<bool>&) override {
    std::unique_lock lock(mutex_);
    entered_ = true;
    changed_.notify_all();
    changed_.wait(lock, [&] { return released_; });
    return {nullptr, sharingWithdrawnError()};
  }
  void awaitEntered() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return entered_; });
  }
  void release() {
    std::lock_guard lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool entered_ = false;
  bool released_ = false;
};

// Dropping a request whose opening ignores cancellation neither waits for it for good nor
// frees what it uses: the environment lives until the thread is done, and its late result
// reaches nobody, not even a main loop that has gone.
TEST(DesktopSessionRequestTest, AnOpeningThatIgnoresCancellationKeepsWhatItUsesAndReachesNobody) {
  auto environment = std::make_shared<StuckEnvironment>();
  const std::weak_ptr<StuckEnvironment> alive = environment;
  bool reported = false;
  {
    EventLoop main;
    {
      DesktopSessionRequest request(environment, "", main, [&](DesktopEnvironment::Result) { reported = true; });
      environment->awaitEntered();
    }
    main.runFor(50ms);
  }
  StuckEnvironment& stuck = *environment;
  environment.reset();
  EXPECT_FALSE(alive.expired()) << "the thread still holds the environment";
  stuck.release();
  for (int i = 0; i < 1000 && !alive.expired(); ++i) std::this_thread::sleep_for(10ms);
  EXPECT_TRUE(alive.expired()) << "and lets go of it once done";
  EXPECT_FALSE(reported);
}

}  // namespace
}  // namespace quorin
