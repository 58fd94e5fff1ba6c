#pragma once
// The pairing popover's content: a title, where to scan it from, the host's pairing text as a
// QR code, and "Reset key", which replaces the host key (unpairing every device) and redraws
// the code. The text is read from the identity when the view is made and changes only by a
// reset, so a view made later shows the key stored at that time.
// Thread: the GUI thread, including the keyring work of the identity.

#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QWidget>

#include <optional>
#include <string>
#include <string_view>

#include "identity/host_identity.h"

namespace quorin {

class PairingQRView final : public QWidget {
 public:
  static constexpr int kModulePixels = 10;
  static constexpr int kCodeSize = 200;  // the code is drawn at this size, margin excluded
  static constexpr int kMargin = 10;     // white around the code
  static constexpr int kCornerRadius = 12;

  explicit PairingQRView(HostIdentity& identity, QWidget* parent = nullptr);

  // `text` as a QR code at error correction M, kModulePixels per module, black on white
  // without a quiet zone; nothing when no code can hold it.
  static std::optional<QImage> qrImage(std::string_view text);

  void resetKey();

  const std::string& payloadString() const { return payloadString_; }
  // The framed code, or the red line that stands in for it (for tests and screenshots).
  QWidget& codeArea() { return code_; }
  QPushButton& resetButton() { return reset_; }

 private:
  // The code on its white rounded square, outlined in purple.
  class FramedCode final : public QWidget {
   public:
    using QWidget::QWidget;
    void setImage(std::optional<QImage> image);

   protected:
    void paintEvent(QPaintEvent* event) override;

   private:
    std::optional<QImage> image_;
  };

  void paintEvent(QPaintEvent* event) override;
  void render();

  HostIdentity& identity_;
  std::string payloadString_;
  FramedCode code_;
  QLabel failure_;
  QPushButton reset_;
};

}  // namespace quorin
