#pragma once
// The monitor the next client session streams: "Monitor" and a drop-down list of the
// monitors, in the size of the panel's switch rows. Choosing an entry hands its index to the
// action; apply() redraws without reporting. Thread: the GUI thread.

#include <QComboBox>
#include <QLabel>
#include <QWidget>

#include <cstddef>
#include <functional>

#include "app/menu_view_model.h"

namespace quorin {

class MonitorRow final : public QWidget {
 public:
  explicit MonitorRow(std::function<void(std::size_t index)> choose, QWidget* parent = nullptr);

  // Shows a monitorRow item, or hides the row when the item is not shown.
  void apply(const MenuItem& item);

  QComboBox& list() { return list_; }

 private:
  QLabel label_;
  QComboBox list_;
};

}  // namespace quorin
