#pragma once
// The panel: status, connected client, last error, the two permissions, pairing, the
// internet-access note, the monitor to share, whether to ask at the computer before each
// connection (where that changes anything), the auto-start and open-at-login switches,
// Start/Stop and Quit. It draws MenuViewModel's items and hands every click to the model; the
// pairing popover opens beside its button. Each time the panel is shown it re-reads the
// permissions and the monitors.
// Thread: the GUI thread.

#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QWidget>

#include <memory>

#include "app/menu_view_model.h"
#include "app/monitor_row.h"
#include "app/pairing_qr_view.h"
#include "app/permission_row.h"
#include "app/switch_button.h"
#include "app/symbol_label.h"

namespace quorin {

class MenuContent final : public QWidget {
 public:
  static constexpr int kWidth = 300;
  static constexpr int kMargin = 16;
  static constexpr int kSpacing = 12;

  MenuContent(MenuViewModel::Environment model, HostIdentity& identity, QWidget* parent = nullptr);
  ~MenuContent() override;

  // Draws `state`; the model calls this after every change of what it shows.
  void apply(const MenuState& state);

  // The open pairing popover, or nullptr.
  PairingQRView* pairingView() const { return pairing_; }
  void openPairing();

  // The controls, for tests and screenshots.
  QPushButton& startStopButton() { return startStop_; }
  SwitchButton& askBeforeConnectingSwitch() { return ask_; }
  SwitchButton& autoStartSwitch() { return autoStart_; }
  SwitchButton& openAtLoginSwitch() { return openAtLogin_; }
  PermissionRow& screenRecordingRow() { return screenRow_; }
  PermissionRow& accessibilityRow() { return accessibilityRow_; }
  MonitorRow& monitorRow() { return monitorRow_; }
  const SymbolLabel& statusLabel() const { return status_; }
  const SymbolLabel& errorLabel() const { return error_; }
  const SymbolLabel& desktopNote() const { return desktopNote_; }

 protected:
  void showEvent(QShowEvent* event) override;
  void paintEvent(QPaintEvent* event) override;

 private:
  QWidget* makeSwitchRow(SwitchButton& button, QLabel& label);

  std::unique_ptr<MenuViewModel> model_;
  HostIdentity& identity_;

  QLabel title_;
  SymbolLabel status_{SymbolLabel::Lines::wrap};
  SymbolLabel connected_{SymbolLabel::Lines::one};
  SymbolLabel error_{SymbolLabel::Lines::wrap};
  SymbolLabel desktopNote_{SymbolLabel::Lines::wrap};
  PermissionRow screenRow_;
  PermissionRow accessibilityRow_;
  QPushButton pairingButton_;
  MonitorRow monitorRow_;
  SwitchButton ask_;
  QLabel askLabel_;
  QWidget* askRow_ = nullptr;
  SwitchButton autoStart_;
  QLabel autoStartLabel_;
  SwitchButton openAtLogin_;
  QLabel openAtLoginLabel_;
  QPushButton startStop_;
  QPushButton quit_;
  QLabel note_;
  QPointer<PairingQRView> pairing_;  // the popover's content while it is open
};

}  // namespace quorin
