#pragma once
// The main thread's TaskRunner under Qt: tasks run on the Qt event loop of the thread that
// made the runner, one at a time in the order posted. post() may be called from any thread;
// the runner must outlive everything that posts to it.

#include <QObject>

#include "base/task_runner.h"

namespace quorin {

class QtTaskRunner final : public TaskRunner {
 public:
  void post(Task task) override;

 private:
  QObject target_;  // lives on the thread that made the runner
};

}  // namespace quorin
