#pragma once
// The main thread's loop when there is no UI toolkit: the headless host and tests.
// run() executes posted tasks on the calling thread until quit(); post() and quit()
// may be called from any thread. A quit() is never lost: one that comes before run() (a stop
// asked for while the host is still starting) makes that run() return at once.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "base/task_runner.h"

namespace quorin {

class EventLoop final : public TaskRunner {
 public:
  void post(Task task) override;

  // Runs tasks until quit() is called, or returns at once when quit() was called since the
  // last run() ended. Tasks still queued at quit are kept for a later run.
  void run();
  void quit();

  // Runs the tasks that are ready, waiting up to `timeout` for the first; returns how many ran.
  // Lets tests step the loop without a second thread.
  int runFor(std::chrono::milliseconds timeout);

  // Runs tasks until `done()` is true or `timeout` passes; returns done().
  template <class Predicate>
  bool runUntil(Predicate done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return done();
      runFor(std::min(left, std::chrono::milliseconds(20)));
    }
    return true;
  }

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Task> tasks_;
  bool quit_ = false;
};

}  // namespace quorin
