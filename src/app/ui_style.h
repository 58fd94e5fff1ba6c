#pragma once
// How the panel's text styles, colours and symbols look under Qt. Thread: the GUI thread.
//
// Text styles are sizes relative to this desktop's font, which plays the part of 13-point body
// text (the scale the panel's proportions were set in):
//   body     = the desktop font
//   headline = the desktop font, bold
//   callout  = 12/13 of it
//   caption  = 10/13 of it
//   caption2 = 10/13 of it, medium weight
//
// Symbols: the freedesktop icon theme's symbolic icon where it has a fitting one, else our own
// SVG (":/icons/<symbol>.svg", one for every symbol the panel names). Both are monochrome
// shapes, drawn in the colour asked for.

#include <QColor>
#include <QFont>
#include <QIcon>
#include <QPalette>
#include <QPixmap>

#include <string_view>

#include "app/menu_view_model.h"

class QLabel;
class QWidget;

namespace quorin::ui {

QColor colorOf(Rgb rgb);
// `standard` and `secondary` come from `palette` (the application's when not given); the
// others are fixed.
QColor colorOf(Tint tint, const QPalette& palette);
QColor colorOf(Tint tint);

// A 1-pixel outline around `widget` when it is a window without decorations (the panel as a
// popup, the pairing popover), so it stands out from whatever lies beneath. Call from
// paintEvent.
void paintPopupOutline(QWidget& widget);

QFont fontOf(TextStyle style);
void setTextStyle(QLabel& label, TextStyle style, Tint tint);

// `symbol` at `size` device-independent pixels in `color`; a null pixmap for an unknown name.
QPixmap symbolPixmap(std::string_view symbol, int size, const QColor& color);
QIcon symbolIcon(std::string_view symbol, int size, const QColor& color);

}  // namespace quorin::ui
