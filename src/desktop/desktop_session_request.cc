#include "desktop/desktop_session_request.h"

#include <pthread.h>

#include <condition_variable>
#include <mutex>

namespace quorin {

struct DesktopSessionRequest::State {
  std::atomic<bool> cancelled = false;
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  TaskRunner* mainThread = nullptr;  // withdrawn by the request as it goes
};

DesktopSessionRequest::DesktopSessionRequest(std::shared_ptr<DesktopEnvironment> environment,
                                             std::string monitor, TaskRunner& mainThread, Done done)
    : state_(std::make_shared<State>()) {
  state_->mainThread = &mainThread;
  thread_ = std::thread([state = state_, environment = std::move(environment), monitor = std::move(monitor),
                         done = std::move(done)]() mutable {
    auto result = std::make_shared<DesktopEnvironment::Result>(environment->makeSession(monitor, state->cancelled));
    std::lock_guard lock(state->mutex);
    state->done = true;
    state->finished.notify_all();
    if (!state->mainThread || state->cancelled) return;  // thrown away here, on this thread
    // The session is used and destroyed on the main thread like every other.
    state->mainThread->post([state, result, done = std::move(done)] {
      if (!state->cancelled && done) done(std::move(*result));
    });
  });
  pthread_setname_np(thread_.native_handle(), "desktop");
}

DesktopSessionRequest::~DesktopSessionRequest() {
  state_->cancelled = true;
  bool finished = false;
  {
    std::unique_lock lock(state_->mutex);
    state_->mainThread = nullptr;
    finished = state_->finished.wait_for(lock, kCancelGrace, [this] { return state_->done; });
  }
  if (finished) {
    thread_.join();
  } else {
    thread_.detach();
  }
}

}  // namespace quorin
