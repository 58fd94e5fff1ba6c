#include "app/ui_style.h"

#include <QApplication>
#include <QGuiApplication>
#include <QImage>
#include <QLabel>
#include <QPainter>
#include <QSvgRenderer>
#include <QWidget>

#include <algorithm>
#include <iterator>

namespace quorin::ui {
namespace {

struct SymbolSource {
  std::string_view symbol;
  const char* themeName;  // nullptr: no theme icon fits, ours is drawn
};

// "display" has a theme icon, but its warning-badge twin has none: the tray shows both, so
// both are ours and look alike.
constexpr SymbolSource kSymbols[] = {
    {"display", nullptr},
    {"display.trianglebadge.exclamationmark", nullptr},
    {"antenna.radiowaves.left.and.right", nullptr},
    {"pause.circle", nullptr},
    {"iphone", "phone-symbolic"},
    {"exclamationmark.triangle", "dialog-warning-symbolic"},
    {"checkmark.circle.fill", "emblem-ok-symbolic"},
    {"circle", nullptr},
    {"qrcode", nullptr},
    {"globe", nullptr},
    {"arrow.triangle.2.circlepath", "view-refresh-symbolic"},
};

double scaleOf(TextStyle style) {
  switch (style) {
    case TextStyle::body:
    case TextStyle::headline:
      return 1.0;
    case TextStyle::callout:
      return 12.0 / 13.0;
    case TextStyle::caption:
    case TextStyle::caption2:
      return 10.0 / 13.0;
  }
  return 1.0;
}

}  // namespace

QColor colorOf(Rgb rgb) { return QColor(rgb.red, rgb.green, rgb.blue); }

QColor colorOf(Tint tint) { return colorOf(tint, QGuiApplication::palette()); }

QColor colorOf(Tint tint, const QPalette& palette) {
  switch (tint) {
    case Tint::standard:
      return palette.color(QPalette::WindowText);
    case Tint::secondary: {
      QColor color = palette.color(QPalette::WindowText);
      color.setAlphaF(0.55f);
      return color;
    }
    case Tint::teal:
      return colorOf(kTeal);
    case Tint::purple:
      return colorOf(kPurple);
    case Tint::orange:
      return QColor(255, 149, 0);
    case Tint::green:
      return QColor(40, 205, 65);
    case Tint::red:
      return QColor(255, 59, 48);
  }
  return {};
}

void paintPopupOutline(QWidget& widget) {
  if (!widget.isWindow() || !(widget.windowFlags() & (Qt::FramelessWindowHint | Qt::Popup))) return;
  QPainter painter(&widget);
  painter.setPen(widget.palette().color(QPalette::Mid));
  painter.drawRect(widget.rect().adjusted(0, 0, -1, -1));
}

QFont fontOf(TextStyle style) {
  QFont font = QApplication::font();
  if (font.pointSizeF() > 0) {
    font.setPointSizeF(font.pointSizeF() * scaleOf(style));
  } else {
    font.setPixelSize(std::max(1, static_cast<int>(font.pixelSize() * scaleOf(style) + 0.5)));
  }
  if (style == TextStyle::headline) font.setWeight(QFont::Bold);
  if (style == TextStyle::caption2) font.setWeight(QFont::Medium);
  return font;
}

void setTextStyle(QLabel& label, TextStyle style, Tint tint) {
  label.setFont(fontOf(style));
  QPalette palette = label.palette();
  palette.setColor(QPalette::WindowText, colorOf(tint, label.palette()));
  label.setPalette(palette);
}

QPixmap symbolPixmap(std::string_view symbol, int size, const QColor& color) {
  const auto source = std::find_if(std::begin(kSymbols), std::end(kSymbols),
                                   [&](const SymbolSource& s) { return s.symbol == symbol; });
  if (source == std::end(kSymbols)) return {};
  const qreal ratio = qApp ? qApp->devicePixelRatio() : 1.0;
  const int pixels = static_cast<int>(size * ratio + 0.5);

  QImage image;
  if (source->themeName && QIcon::hasThemeIcon(source->themeName)) {
    image = QIcon::fromTheme(source->themeName).pixmap(QSize(size, size), ratio).toImage();
    if (image.width() != pixels) image = image.scaled(pixels, pixels, Qt::KeepAspectRatio, Qt::SmoothTransformation);
  } else {
    QSvgRenderer svg(QStringLiteral(":/icons/%1.svg").arg(QString::fromUtf8(symbol.data(), symbol.size())));
    image = QImage(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    svg.render(&painter);
  }
  image = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
  {
    // Keep the shape, take the colour.
    QPainter painter(&image);
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(image.rect(), color);
  }
  QPixmap pixmap = QPixmap::fromImage(image);
  pixmap.setDevicePixelRatio(ratio);
  return pixmap;
}

QIcon symbolIcon(std::string_view symbol, int size, const QColor& color) {
  return QIcon(symbolPixmap(symbol, size, color));
}

}  // namespace quorin::ui
