#pragma once
// One client's request for a desktop session, made on a "desktop" thread of its own so that
// the main thread never waits for a display server or a portal dialog (which may stay open
// for minutes). The result reaches the main thread as a posted task, and only while the
// request exists: dropping the request cancels it (a portal dialog still open is closed) and
// its late result is thrown away.
//
// Thread: construct and destroy on the main thread; `done` runs there.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "base/task_runner.h"
#include "desktop/desktop_environment.h"

namespace quorin {

class DesktopSessionRequest {
 public:
  using Done = std::function<void(DesktopEnvironment::Result)>;

  // How long dropping a request waits for its thread to finish (closing a dialog, say). A
  // thread that is stuck on a display that stopped answering is left to finish on its own.
  static constexpr std::chrono::milliseconds kCancelGrace{1000};

  // `environment` and `mainThread` must outlive the request's thread: the process's own.
  DesktopSessionRequest(DesktopEnvironment& environment, std::string monitor, TaskRunner& mainThread,
                        Done done);
  ~DesktopSessionRequest();
  DesktopSessionRequest(const DesktopSessionRequest&) = delete;
  DesktopSessionRequest& operator=(const DesktopSessionRequest&) = delete;

 private:
  struct State {
    std::atomic<bool> cancelled = false;
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
  };
  std::shared_ptr<State> state_;
};

}  // namespace quorin
