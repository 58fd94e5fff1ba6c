#include "app/permission_row.h"

#include <QHBoxLayout>

#include "app/ui_style.h"

namespace quorin {

PermissionRow::PermissionRow(std::function<void()> action, QWidget* parent) : QWidget(parent) {
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(&label_, 1);
  layout->addWidget(&grant_, 0, Qt::AlignVCenter);
  grant_.setFlat(true);
  grant_.setCursor(Qt::PointingHandCursor);
  grant_.setFont(ui::fontOf(TextStyle::caption));
  grant_.setStyleSheet(QStringLiteral("QPushButton { border: none; padding: 0; color: palette(link); }"));
  connect(&grant_, &QPushButton::clicked, this, [action = std::move(action)] { action(); });
}

void PermissionRow::apply(const MenuItem& item) {
  label_.setContent(item.symbol, item.symbolTint, item.text, item.style, item.textTint);
  grant_.setText(QString::fromStdString(item.button));
  grant_.setVisible(!item.button.empty());
}

}  // namespace quorin
