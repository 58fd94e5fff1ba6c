#include "app/symbol_label.h"

#include <QFontMetrics>
#include <QHBoxLayout>

#include "app/ui_style.h"

namespace quorin {

SymbolLabel::SymbolLabel(Lines lines, QWidget* parent) : QWidget(parent), lines_(lines) {
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  // Beside the first line of wrapped text; centred beside a single line.
  layout->addWidget(&symbol_, 0, lines == Lines::wrap ? Qt::AlignTop : Qt::AlignVCenter);
  layout->addWidget(&label_, 1);
  label_.setWordWrap(lines == Lines::wrap);
  label_.setTextFormat(Qt::PlainText);
  if (lines == Lines::one) label_.setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
}

void SymbolLabel::setContent(const std::string& symbol, Tint symbolTint, const std::string& text,
                             TextStyle style, Tint textTint) {
  ui::setTextStyle(label_, style, textTint);
  const int size = QFontMetrics(label_.font()).height();
  symbol_.setFixedSize(size, size);
  symbol_.setPixmap(ui::symbolPixmap(symbol, size, ui::colorOf(symbolTint, palette())));
  text_ = QString::fromStdString(text);
  fitText();
}

void SymbolLabel::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  fitText();
}

void SymbolLabel::fitText() {
  if (lines_ == Lines::wrap) {
    label_.setText(text_);
    return;
  }
  QString line = text_;
  line.replace(QLatin1Char('\n'), QLatin1Char(' '));
  label_.setText(QFontMetrics(label_.font()).elidedText(line, Qt::ElideRight, label_.width()));
}

}  // namespace quorin
