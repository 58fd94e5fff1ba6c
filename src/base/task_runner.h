#pragma once
// A place to run work later: the main thread's loop (headless or Qt) or a serial queue.
// post() may be called from any thread; tasks run one at a time in the order posted.

#include <functional>

namespace quorin {

using Task = std::function<void()>;

class TaskRunner {
 public:
  virtual ~TaskRunner() = default;
  virtual void post(Task task) = 0;
};

}  // namespace quorin
