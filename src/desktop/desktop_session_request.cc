#include "desktop/desktop_session_request.h"

#include <pthread.h>

#include <thread>

namespace quorin {

DesktopSessionRequest::DesktopSessionRequest(DesktopEnvironment& environment, std::string monitor,
                                             TaskRunner& mainThread, Done done)
    : state_(std::make_shared<State>()) {
  std::thread thread([state = state_, &environment, &mainThread, monitor = std::move(monitor),
                      done = std::move(done)]() mutable {
    auto result = std::make_shared<DesktopEnvironment::Result>(environment.makeSession(monitor, state->cancelled));
    {
      std::lock_guard lock(state->mutex);
      state->done = true;
    }
    state->finished.notify_all();
    // The session, if any, is destroyed on the main thread like every other.
    mainThread.post([state, result, done = std::move(done)] {
      if (!state->cancelled && done) done(std::move(*result));
    });
  });
  pthread_setname_np(thread.native_handle(), "desktop");
  thread.detach();
}

DesktopSessionRequest::~DesktopSessionRequest() {
  state_->cancelled = true;
  std::unique_lock lock(state_->mutex);
  state_->finished.wait_for(lock, kCancelGrace, [this] { return state_->done; });
}

}  // namespace quorin
