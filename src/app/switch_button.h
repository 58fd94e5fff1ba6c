#pragma once
// An on/off switch: a rounded track with a round knob, the track filled in the highlight
// colour while on. A checkable button, so toggled() reports every change. Thread: the GUI
// thread.

#include <QAbstractButton>

namespace quorin {

class SwitchButton final : public QAbstractButton {
 public:
  explicit SwitchButton(QWidget* parent = nullptr);
  QSize sizeHint() const override { return {30, 18}; }

 protected:
  void paintEvent(QPaintEvent* event) override;
};

}  // namespace quorin
