#pragma once
// One client's request for a desktop session, made on a "desktop" thread of its own so that
// the main thread never waits for a display server or a portal dialog (which may stay open
// for minutes). The result reaches the main thread as a posted task, and only while the
// request exists: dropping the request cancels it (a portal dialog still open is closed) and
// its late result is thrown away.
//
// The request owns its thread. Dropping it sets the cancellation flag, which every wait of
// making a session honours, and joins the thread. A call that cannot be cancelled (opening a
// display that accepts and never answers) is not waited for beyond kCancelGrace: the thread
// is then let go, and since it holds only shared ownership of what it touches (the
// environment, the request's state), nothing is freed under it; its late result is destroyed
// on that thread. Posts to the main thread go through the state, whose runner the request
// withdraws under the state's lock before it goes, so no post reaches a loop that is gone.
//
// Thread: construct and destroy on the main thread; `done` runs there.

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "base/task_runner.h"
#include "desktop/desktop_environment.h"

namespace quorin {

class DesktopSessionRequest {
 public:
  using Done = std::function<void(DesktopEnvironment::Result)>;

  // How long dropping a request waits for its thread to notice the cancellation.
  static constexpr std::chrono::milliseconds kCancelGrace{500};

  // `mainThread` must outlive the request (not its thread).
  DesktopSessionRequest(std::shared_ptr<DesktopEnvironment> environment, std::string monitor,
                        TaskRunner& mainThread, Done done);
  ~DesktopSessionRequest();
  DesktopSessionRequest(const DesktopSessionRequest&) = delete;
  DesktopSessionRequest& operator=(const DesktopSessionRequest&) = delete;

 private:
  struct State;
  std::shared_ptr<State> state_;
  std::thread thread_;
};

}  // namespace quorin
