#include "app/pairing_qr_view.h"

#include <qrencode.h>

#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

#include <memory>

#include "app/ui_style.h"

namespace quorin {
namespace {

std::string currentPayloadString(HostIdentity& identity) {
  const auto payload = identity.pairingPayload();
  return payload ? payload->encodedString() : std::string();
}

struct QrCodeFree {
  void operator()(QRcode* code) const { QRcode_free(code); }
};

}  // namespace

PairingQRView::PairingQRView(HostIdentity& identity, QWidget* parent)
    : QWidget(parent), identity_(identity), payloadString_(currentPayloadString(identity)) {
  setFixedWidth(260);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(16, 16, 16, 16);
  layout->setSpacing(12);

  auto* title = new QLabel(QStringLiteral("Pair a device"), this);
  ui::setTextStyle(*title, TextStyle::headline, Tint::standard);
  layout->addWidget(title, 0, Qt::AlignHCenter);

  auto* instructions = new QLabel(
      QStringLiteral("On your iPhone or iPad: Quorin Remote \u25B8 Add Mac \u25B8 scan this."), this);
  instructions->setWordWrap(true);
  instructions->setAlignment(Qt::AlignHCenter);
  ui::setTextStyle(*instructions, TextStyle::caption, Tint::secondary);
  layout->addWidget(instructions);

  code_.setFixedSize(kCodeSize + 2 * kMargin, kCodeSize + 2 * kMargin);
  layout->addWidget(&code_, 0, Qt::AlignHCenter);

  failure_.setText(QStringLiteral("Couldn\u2019t render QR"));
  ui::setTextStyle(failure_, TextStyle::body, Tint::red);
  layout->addWidget(&failure_, 0, Qt::AlignHCenter);

  const int symbolSize = QFontMetrics(ui::fontOf(TextStyle::caption)).height();
  reset_.setText(QStringLiteral("Reset key (unpairs all devices)"));
  reset_.setIcon(ui::symbolIcon("arrow.triangle.2.circlepath", symbolSize, ui::colorOf(Tint::red, palette())));
  reset_.setFont(ui::fontOf(TextStyle::caption));
  reset_.setFlat(true);
  reset_.setCursor(Qt::PointingHandCursor);
  reset_.setStyleSheet(QStringLiteral("QPushButton { border: none; padding: 0; color: %1; }")
                           .arg(ui::colorOf(Tint::red, palette()).name()));
  layout->addWidget(&reset_, 0, Qt::AlignHCenter);
  connect(&reset_, &QPushButton::clicked, this, [this] { resetKey(); });

  render();
}

std::optional<QImage> PairingQRView::qrImage(std::string_view text) {
  const std::string input(text);
  std::unique_ptr<QRcode, QrCodeFree> code(QRcode_encodeString8bit(input.c_str(), 0, QR_ECLEVEL_M));
  if (!code) return std::nullopt;
  const int width = code->width;
  QImage modules(width, width, QImage::Format_Grayscale8);
  for (int y = 0; y < width; ++y) {
    uchar* line = modules.scanLine(y);
    for (int x = 0; x < width; ++x) line[x] = (code->data[y * width + x] & 1) ? 0 : 255;
  }
  return modules.scaled(width * kModulePixels, width * kModulePixels, Qt::IgnoreAspectRatio,
                        Qt::FastTransformation);
}

void PairingQRView::resetKey() {
  identity_.resetKey();
  payloadString_ = currentPayloadString(identity_);
  render();
}

void PairingQRView::render() {
  auto image = qrImage(payloadString_);
  code_.setVisible(image.has_value());
  failure_.setVisible(!image);
  code_.setImage(std::move(image));
}

void PairingQRView::FramedCode::setImage(std::optional<QImage> image) {
  image_ = std::move(image);
  update();
}

void PairingQRView::FramedCode::paintEvent(QPaintEvent*) {
  if (!image_) return;
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  QPainterPath frame;
  frame.addRoundedRect(QRectF(rect()), kCornerRadius, kCornerRadius);
  painter.setClipPath(frame);
  painter.fillRect(rect(), Qt::white);
  // Each module stays a sharp square: no smoothing when the code is scaled.
  painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
  painter.drawImage(QRect(kMargin, kMargin, kCodeSize, kCodeSize), *image_);
  painter.setClipping(false);
  QColor outline = ui::colorOf(kPurple);
  outline.setAlphaF(0.4f);
  painter.setPen(QPen(outline, 1));
  painter.setBrush(Qt::NoBrush);
  painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), kCornerRadius, kCornerRadius);
}

void PairingQRView::paintEvent(QPaintEvent*) { ui::paintPopupOutline(*this); }

}  // namespace quorin
