#pragma once
// The panel's note on remote access from anywhere: a globe, "Internet access" and what it
// would take to enable it. Static: no state, no controls. Thread: the GUI thread.

#include <QWidget>

namespace quorin {

class InternetAccessSection final : public QWidget {
 public:
  explicit InternetAccessSection(QWidget* parent = nullptr);
};

}  // namespace quorin
