#pragma once
// A symbol followed by its text, both in one colour, in one of the panel's text styles; the
// symbol is as tall as a line of the text. Either wraps its text or keeps it to one line,
// cutting it with an ellipsis. Thread: the GUI thread.

#include <QLabel>
#include <QWidget>

#include <string>

#include "app/menu_view_model.h"

namespace quorin {

class SymbolLabel final : public QWidget {
 public:
  enum class Lines { wrap, one };

  explicit SymbolLabel(Lines lines, QWidget* parent = nullptr);

  void setContent(const std::string& symbol, Tint symbolTint, const std::string& text,
                  TextStyle style, Tint textTint);
  QString text() const { return text_; }

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void fitText();

  Lines lines_;
  QString text_;
  QLabel symbol_;
  QLabel label_;
};

}  // namespace quorin
