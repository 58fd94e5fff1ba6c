#include "app/monitor_row.h"

#include <QHBoxLayout>
#include <QSignalBlocker>

#include "app/ui_style.h"

namespace quorin {

MonitorRow::MonitorRow(std::function<void(std::size_t index)> choose, QWidget* parent) : QWidget(parent) {
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(&label_, 1);
  layout->addWidget(&list_);
  list_.setFont(ui::fontOf(TextStyle::caption));
  list_.setSizeAdjustPolicy(QComboBox::AdjustToContents);
  // Only a choice of the user's: apply() blocks the signal while it redraws.
  connect(&list_, &QComboBox::currentIndexChanged, this, [this, choose = std::move(choose)](int index) {
    if (index >= 0) choose(std::size_t(index));
  });
}

void MonitorRow::apply(const MenuItem& item) {
  label_.setText(QString::fromStdString(item.text));
  ui::setTextStyle(label_, item.style, item.textTint);
  const QSignalBlocker quiet(list_);
  QStringList entries;
  for (const std::string& choice : item.choices) entries << QString::fromStdString(choice);
  QStringList shown;
  for (int i = 0; i < list_.count(); ++i) shown << list_.itemText(i);
  if (shown != entries) {
    list_.clear();
    list_.addItems(entries);
  }
  list_.setCurrentIndex(int(item.chosen));
  setVisible(item.shown);
}

}  // namespace quorin
