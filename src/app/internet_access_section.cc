#include "app/internet_access_section.h"

#include <QLabel>
#include <QVBoxLayout>

#include "app/symbol_label.h"
#include "app/ui_style.h"

namespace quorin {

InternetAccessSection::InternetAccessSection(QWidget* parent) : QWidget(parent) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(4);

  auto* title = new SymbolLabel(SymbolLabel::Lines::wrap, this);
  title->setContent("globe", Tint::standard, "Internet access", TextStyle::callout, Tint::standard);
  layout->addWidget(title);

  auto* explanation = new QLabel(
      QStringLiteral("Add the WebRTC + Firebase SDKs to enable remote access from anywhere (see README)."),
      this);
  explanation->setWordWrap(true);
  ui::setTextStyle(*explanation, TextStyle::caption2, Tint::secondary);
  layout->addWidget(explanation);
}

}  // namespace quorin
