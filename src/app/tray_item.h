#pragma once
// The host's place on the desktop: a tray icon titled "Quorin Remote" whose image follows the
// server's isRunning (a display while running, a display with a warning badge while stopped),
// and the panel it shows or hides when activated, as a frameless popup next to the icon.
// The panel is made when it is first opened and kept.
//
// A desktop without a system tray (none has appeared after `trayWait`) gets the panel as an
// ordinary window instead, and closing that window quits, so there is always a way in.
// Thread: the GUI thread.

#include <QElapsedTimer>
#include <QObject>
#include <QPoint>
#include <QSystemTrayIcon>
#include <QTimer>

#include <chrono>
#include <memory>
#include <optional>

#include "app/menu_content.h"
#include "app/menu_view_model.h"

namespace quorin {

class TrayItem final : public QObject {
 public:
  // How long a missing tray is waited for: at login the tray may come up after us.
  static constexpr std::chrono::milliseconds kTrayWait{5000};

  // `panel` is what the panel is made from when it is first opened; it must outlive the item.
  TrayItem(MenuViewModel::Environment panel, HostIdentity& identity,
           std::chrono::milliseconds trayWait = kTrayWait);
  ~TrayItem() override;

  QSystemTrayIcon& icon() { return tray_; }
  // The panel once it was first opened, else nullptr.
  MenuContent* panel() { return panel_.get(); }
  // True once the desktop turned out to have no tray.
  bool usesWindow() const { return usesWindow_; }

  // Shows the panel next to the icon, or hides it. `clickedAt`: where the icon was clicked.
  void togglePanel(std::optional<QPoint> clickedAt = std::nullopt);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void lookForTray();
  void makePanel(Qt::WindowFlags flags);
  void updateIcon();

  MenuViewModel::Environment panelEnvironment_;
  HostIdentity& identity_;
  std::chrono::milliseconds trayWait_;
  QSystemTrayIcon tray_;
  std::unique_ptr<MenuContent> panel_;
  int observerToken_ = 0;
  bool usesWindow_ = false;
  QTimer trayPoll_;
  QElapsedTimer waitingForTray_;
  QElapsedTimer sinceHidden_;  // a click on the icon that closed the popup must not reopen it
};

}  // namespace quorin
