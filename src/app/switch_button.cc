#include "app/switch_button.h"

#include <QPainter>

namespace quorin {

SwitchButton::SwitchButton(QWidget* parent) : QAbstractButton(parent) {
  setCheckable(true);
  setCursor(Qt::PointingHandCursor);
  setFixedSize(sizeHint());
}

void SwitchButton::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const QRectF track = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
  const qreal radius = track.height() / 2;
  painter.setPen(QPen(palette().color(QPalette::Mid), 1));
  painter.setBrush(isChecked() ? palette().color(QPalette::Highlight) : palette().color(QPalette::Midlight));
  painter.drawRoundedRect(track, radius, radius);
  const qreal knob = track.height() - 3;
  const qreal x = isChecked() ? track.right() - 1.5 - knob : track.left() + 1.5;
  painter.setPen(QPen(palette().color(QPalette::Mid), 0.5));
  painter.setBrush(Qt::white);
  painter.drawEllipse(QRectF(x, track.top() + 1.5, knob, knob));
}

}  // namespace quorin
