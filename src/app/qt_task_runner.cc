#include "app/qt_task_runner.h"

#include <QMetaObject>

namespace quorin {

void QtTaskRunner::post(Task task) {
  QMetaObject::invokeMethod(&target_, std::move(task), Qt::QueuedConnection);
}

}  // namespace quorin
